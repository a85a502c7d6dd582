#include "common/io.h"
#include "joblog/joblog.h"
#include "settings/settings.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <regex>

using testsupport::readFile;
using testsupport::TempDir;

namespace {

constexpr const char* kWhen = "Tue Jun 28 10:05:03 2005";

class JobLogFile : public ::testing::Test {
protected:
    void SetUp() override {
        conf = Conf{};
        verbose = 0;
        conf.logfile_path = log;
    }
    void TearDown() override { conf = Conf{}; }

    TempDir dir;
    std::string log = dir.file("x.log");
};

// Tag, time, address and message in order; an absent part leaves its field
// out, and the texts are written as they are, percent signs included.
TEST_F(JobLogFile, LineHoldsTheGivenPartsInOrder) {
    struct Case {
        std::optional<std::string_view> msg, ip;
        const char* line;
    };
    const Case cases[] = {
        {"Success sending Face Page", "10.1.2.3",
         "Quelvarion : [Tue Jun 28 10:05:03 2005] : ip=[10.1.2.3] : msg=[Success sending Face "
         "Page]\n"},
        {": Sent bytes =[512]", "10.1.2.3",
         "Quelvarion : [Tue Jun 28 10:05:03 2005] : ip=[10.1.2.3] : msg=[: Sent bytes =[512]]\n"},
        {std::nullopt, std::nullopt, "Quelvarion : [Tue Jun 28 10:05:03 2005]\n"},
        {"only message", std::nullopt,
         "Quelvarion : [Tue Jun 28 10:05:03 2005] : msg=[only message]\n"},
        {std::nullopt, "10.0.0.9", "Quelvarion : [Tue Jun 28 10:05:03 2005] : ip=[10.0.0.9]\n"},
        {"100% %s %n %x", "%s",
         "Quelvarion : [Tue Jun 28 10:05:03 2005] : ip=[%s] : msg=[100% %s %n %x]\n"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(log);
        EXPECT_EQ(logPrint(c.msg, kWhen, c.ip), 0);
        EXPECT_EQ(readFile(log), c.line);
    }
}

TEST_F(JobLogFile, AbsentTimeIsTheCurrentCtimeText) {
    std::time_t before = std::time(nullptr);
    EXPECT_EQ(logPrint("Unable to connect printer", std::nullopt, "10.1.2.3"), 0);
    std::time_t after = std::time(nullptr);

    std::smatch m;
    std::string text = readFile(log);
    ASSERT_TRUE(std::regex_match(text, m,
                                 std::regex(R"(Quelvarion : \[(.{24})\] : ip=\[10\.1\.2\.3\] : )"
                                            R"(msg=\[Unable to connect printer\]\n)")))
        << text;
    bool matches = false;
    for (std::time_t t = before; t <= after; ++t)
        matches = matches || m[1] == tindrel::ctimeText(t);
    EXPECT_TRUE(matches) << m[1];
}

TEST_F(JobLogFile, AbsentAddressAndMessageLeaveTagAndTime) {
    logPrint(std::nullopt, kWhen, std::nullopt);
    logPrint("only message", kWhen, std::nullopt);
    logPrint(std::nullopt, kWhen, "10.0.0.9");
    EXPECT_EQ(readFile(log), "Quelvarion : [Tue Jun 28 10:05:03 2005]\n"
                             "Quelvarion : [Tue Jun 28 10:05:03 2005] : msg=[only message]\n"
                             "Quelvarion : [Tue Jun 28 10:05:03 2005] : ip=[10.0.0.9]\n");
}

TEST_F(JobLogFile, PercentSignsInTextsAreWrittenAsTheyAre) {
    logPrint("100% %s %n %x", kWhen, "%s");
    EXPECT_EQ(readFile(log), "Quelvarion : [Tue Jun 28 10:05:03 2005] : ip=[%s] : "
                             "msg=[100% %s %n %x]\n");
}

TEST_F(JobLogFile, LogRemovedWhileRunningIsCreatedAnew) {
    logPrint("one", kWhen, std::nullopt);
    logPrint("two", kWhen, std::nullopt);
    EXPECT_EQ(readFile(log), "Quelvarion : [Tue Jun 28 10:05:03 2005] : msg=[one]\n"
                             "Quelvarion : [Tue Jun 28 10:05:03 2005] : msg=[two]\n");
    std::filesystem::remove(log);
    EXPECT_EQ(logPrint("three", kWhen, std::nullopt), 0);
    EXPECT_EQ(readFile(log), "Quelvarion : [Tue Jun 28 10:05:03 2005] : msg=[three]\n");
}

TEST_F(JobLogFile, EmptyTargetLogsNothing) {
    conf.logfile_path.clear();
    EXPECT_EQ(logPrint("m", kWhen, "10.1.2.3"), 0);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(JobLogFile, UnopenableLogReportsAndFails) {
    conf.logfile_path = dir.file("missing/x.log");
    ::testing::internal::CaptureStderr();
    int rc = logPrint("m", kWhen, "10.1.2.3");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(err.rfind("logPrint/fopen: openning log file failure: ", 0), 0u) << err;
}

TEST_F(JobLogFile, FailedWriteIsReportedAsFailure) {
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    conf.logfile_path = "/dev/full";
    ::testing::internal::CaptureStderr();
    int rc = logPrint("m", kWhen, "10.1.2.3");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 1);
    EXPECT_NE(err.find("logPrint/fclose: writing log file failure"), std::string::npos) << err;
}

TEST_F(JobLogFile, VerboseNamesTheTarget) {
    verbose = 1;
    ::testing::internal::CaptureStdout();
    logPrint("m", kWhen, std::nullopt);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "logPrint : filename=[" + log + "] :\n");
}

// The system logger's copy on standard error (LOG_PERROR) shows the syslog line.
class JobLogSyslog : public JobLogFile {
protected:
    std::string logWithStderr(std::optional<std::string_view> msg, std::string_view ip) {
        ::testing::internal::CaptureStderr();
        rc = logPrint(msg, kWhen, ip);
        return ::testing::internal::GetCapturedStderr();
    }
    int rc = -1;
};

TEST_F(JobLogSyslog, StarAloneWritesOnlyTheSyslogLine) {
    conf.logfile_path = "*";
    std::string err = logWithStderr("100% done", "10.1.2.3");
    EXPECT_EQ(rc, 0);
    EXPECT_NE(err.find("Quelvaricon"), std::string::npos) << err;
    EXPECT_NE(err.find("Quelvarion : [Tue Jun 28 10:05:03 2005] : msg=[100% done]\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("ip="), std::string::npos) << err;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// "*" before the path, or the logfile mark, writes the syslog line and
// then the file's.
TEST_F(JobLogSyslog, MarkedLogfileWritesBothForms) {
    for (bool star : {true, false}) {
        std::filesystem::remove(log);
        conf.logfile_path = star ? "*" + log : log;
        conf.use_syslog = star ? 0 : 1;
        std::string err = logWithStderr("m", "10.1.2.3");
        EXPECT_EQ(rc, 0);
        EXPECT_NE(err.find("Quelvarion : [Tue Jun 28 10:05:03 2005] : msg=[m]"), std::string::npos);
        EXPECT_EQ(readFile(log),
                  "Quelvarion : [Tue Jun 28 10:05:03 2005] : ip=[10.1.2.3] : msg=[m]\n");
    }
}

TEST_F(JobLogSyslog, MarkedDirectoryTargetIsSyslogOnly) {
    conf.use_syslog = 1;
    conf.logfile_path = dir.path() + "/";
    std::string err = logWithStderr("m", "10.1.2.3");
    EXPECT_EQ(rc, 0);
    EXPECT_NE(err.find("Quelvarion : [Tue Jun 28 10:05:03 2005] : msg=[m]"), std::string::npos);
    EXPECT_EQ(err.find("openning"), std::string::npos) << err;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(JobLogSyslog, UnmarkedLogfileWritesNoSyslogLine) {
    std::string err = logWithStderr("m", "10.1.2.3");
    EXPECT_EQ(err, "");
    EXPECT_FALSE(readFile(log).empty());
}

} // namespace
