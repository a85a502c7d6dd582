#include "joblog/joblog.h"
#include "settings/settings.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

class AccountingRecord : public ::testing::Test {
protected:
    void SetUp() override {
        conf = Conf{};
        const char* tz = std::getenv("TZ");
        saved_tz = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
    void TearDown() override {
        if (saved_tz)
            setenv("TZ", saved_tz->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        conf = Conf{};
    }

    std::optional<std::string> saved_tz;
    testsupport::TempDir dir;
};

// Every field, in order, with local times and their offset; absent values are null.
TEST_F(AccountingRecord, OneLineWithEveryFieldInOrder) {
    JobRecord r;
    r.job = 7;
    r.start = 1796727601; // 2026-12-08 11:00:01 UTC
    r.end = 1781002800;   // 2026-06-09 11:00:00 UTC, summer time
    r.client = "10.1.2.3";
    r.port = 50312;
    r.office = "C-204";
    r.user = "J\xc3\xbcrgen";
    r.pages = 3;
    r.language = "postscript";
    r.received = 48213;
    r.delivered = 100;
    r.to = "[::1]:9100";
    r.face_page = true;
    r.outcome = "printer-canceled";
    r.printed_pages = 2;
    r.printer_result = "USER_CANCELED";
    r.copies = 2;
    r.printer_messages = {"41213 LOAD TRAY 2"};
    EXPECT_EQ(
        recordLine(r),
        "{\"job\":7,\"start\":\"2026-12-08T12:00:01+01:00\",\"end\":\"2026-06-09T13:00:00+02:00\","
        "\"client\":\"10.1.2.3\",\"port\":50312,\"host\":null,\"office\":\"C-204\","
        "\"phone\":null,\"user\":\"J\xc3\xbcrgen\",\"document\":null,\"pages\":3,"
        "\"language\":\"postscript\",\"received\":48213,\"delivered\":100,"
        "\"to\":\"[::1]:9100\",\"face_page\":true,\"outcome\":\"printer-canceled\","
        "\"printed_pages\":2,\"printer_result\":\"USER_CANCELED\",\"copies\":2,"
        "\"printer_messages\":[\"41213 LOAD TRAY 2\"]}\n");
}

// A record is appended whole, or it is lost whole: the file never keeps a
// fragment that the next record would glue onto, and the loss is said on
// standard error and in the job log.
TEST_F(AccountingRecord, WholeOrAbsent) {
    JobRecord r;
    r.outcome = "delivered";
    r.client = "10.1.2.3";
    EXPECT_EQ(writeRecord(r), 0); // no path: nothing written
    conf.logfile_path = dir.file("tindrel.log");
    conf.accounting_path = dir.file("acct.jsonl");
    ASSERT_EQ(writeRecord(r), 0);
    const std::string first = recordLine(r);
    r.job = 2;
    const std::string fifo = dir.file("acct.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        rlim_t size_limit; // RLIM_INFINITY, or what makes the disk "full"
        bool reader;       // a reader holds the FIFO open
        std::string why;
    };
    // The size limits first, while the log is still below them.
    const Case cases[] = {
        {conf.accounting_path, first.size() + 40, false, "the file took only part of it"},
        {conf.accounting_path, first.size(), false, "File too large"},
        {dir.file("missing/acct.jsonl"), RLIM_INFINITY, false, "No such file or directory"},
        {dir.path(), RLIM_INFINITY, false, "Is a directory"},
        {fifo, RLIM_INFINITY, false, "No such device or address"},
        {fifo, RLIM_INFINITY, true, "not a regular file"},
    };
    std::signal(SIGXFSZ, SIG_IGN);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        const std::string acct = std::exchange(conf.accounting_path, c.path);
        int reader = c.reader ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        rlimit unlimited{};
        getrlimit(RLIMIT_FSIZE, &unlimited);
        rlimit limit{std::min(c.size_limit, unlimited.rlim_max), unlimited.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(writeRecord(r), 1);
        std::string err = ::testing::internal::GetCapturedStderr();
        setrlimit(RLIMIT_FSIZE, &unlimited);
        if (reader >= 0)
            close(reader);
        EXPECT_EQ(err, "writeRecord: accounting file " + c.path + ": " + c.why + "\n");
        conf.accounting_path = acct;
    }
    EXPECT_EQ(testsupport::readFile(conf.accounting_path), first);
    EXPECT_EQ(testsupport::countOccurrences(testsupport::readFile(conf.logfile_path),
                                            "msg=[Accounting record lost: "),
              std::size(cases));
}

} // namespace
