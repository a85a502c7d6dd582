#include "joblog/joblog.h"
#include "settings/settings.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

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
    r.outcome = "printer-failed";
    EXPECT_EQ(
        recordLine(r),
        "{\"job\":7,\"start\":\"2026-12-08T12:00:01+01:00\",\"end\":\"2026-06-09T13:00:00+02:00\","
        "\"client\":\"10.1.2.3\",\"port\":50312,\"host\":null,\"office\":\"C-204\","
        "\"phone\":null,\"user\":\"J\xc3\xbcrgen\",\"document\":null,\"pages\":3,"
        "\"language\":\"postscript\",\"received\":48213,\"delivered\":100,"
        "\"to\":\"[::1]:9100\",\"face_page\":true,\"outcome\":\"printer-failed\"}\n");
}

TEST_F(AccountingRecord, AppendedToTheFileOrOneErrorLine) {
    JobRecord r;
    r.outcome = "delivered";
    EXPECT_EQ(writeRecord(r), 0); // no path: nothing written
    conf.accounting_path = dir.file("acct.jsonl");
    EXPECT_EQ(writeRecord(r), 0);
    std::string first = recordLine(r);
    r.job = 2;
    EXPECT_EQ(writeRecord(r), 0);
    EXPECT_EQ(testsupport::readFile(conf.accounting_path), first + recordLine(r));

    conf.accounting_path = dir.file("missing/acct.jsonl");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(writeRecord(r), 1);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("writeRecord/fopen: accounting file failure: ", 0), 0u) << err;
    EXPECT_EQ(testsupport::countOccurrences(err, "\n"), 1u);
}

} // namespace
