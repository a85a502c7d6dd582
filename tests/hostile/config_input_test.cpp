// Hostile configuration files: huge lines, zero bytes, binary garbage, keys
// repeated many times, values and lines around the reader's limits. Each is
// read within the documented limits or refused with a clear message, never
// a crash or a hang.
#include "hostile.h"

#include "startup/startup.h"
#include "support/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using hostile::secondsFromNow;

constexpr std::string_view kInvalidType = "Invalid template type. May be only \"ps\" or \"txt\"\n";

class HostileConfigFile : public ::testing::Test {
protected:
    void SetUp() override {
        resetKeyTable();
        verbose = 0;
        conf_path = dir.file("tindrel.conf");
    }
    void TearDown() override { resetKeyTable(); }

    void read(std::string_view text) {
        dir.write("tindrel.conf", text);
        ASSERT_EQ(readConf(true), 0);
    }
    const KeyEntry& row(KeyRow r) { return keyTable[r]; }

    void expectWithinLimits() {
        for (const KeyEntry* k = keyTable; k->comando; ++k) {
            EXPECT_LE(k->tam, kValueMax) << k->comando;
            EXPECT_LE(k->valor.size(), kValueMax) << k->comando;
        }
    }

    // The daemon's own dump of the same file: bounded, no crash, the dump and
    // then the template-type line (-c alone applies nothing), status 1.
    std::string dumpByDaemon() {
        auto r = testsupport::run({TINDREL_BINARY, "-C", conf_path, "-c"}, 20000);
        EXPECT_FALSE(r.timed_out);
        EXPECT_FALSE(hostile::crashed(r.err)) << r.err;
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(r.out.starts_with("#\n# Tindrel Configuration Parameters\n"))
            << r.out.substr(0, 200);
        EXPECT_TRUE(r.out.ends_with(kInvalidType));
        return r.out;
    }

    e2e::TempDir dir;
};

TEST_F(HostileConfigFile, TenMegabyteValueIsCutAndLaterLinesStillCount) {
    std::string text = "template-name = /" + std::string(10 << 20, 'a') + "\nretry-printer = 7\n";
    read(text);
    EXPECT_EQ(row(kTemplateName).valor, "/" + std::string(59, 'a'));
    EXPECT_EQ(row(kTemplateName).tam, 60u);
    EXPECT_EQ(row(kRetryPrinter).valor, "7");
    // The rest of the long line arrives in pieces that match no key.
    EXPECT_FALSE(row(kUser).given);
    expectWithinLimits();

    std::string dump = dumpByDaemon();
    EXPECT_NE(dump.find("\ntemplate-name = /" + std::string(59, 'a') + "\n"), std::string::npos);
    EXPECT_NE(dump.find("\nretry-printer = 7\n"), std::string::npos);
}

TEST_F(HostileConfigFile, CommentLongerThanOneReadEndsAtThePieceBoundary) {
    // Lines are read 1021 characters at a time; what follows is a line of its own.
    read("#" + std::string(1020, 'c') + "proxy-port = 7000\n");
    EXPECT_EQ(row(kProxyPort).valor, "7000");
}

TEST_F(HostileConfigFile, ZeroByteEndsTheTextOfItsLine) {
    using namespace std::string_literals;
    read("proxy-port = 91\0"s
         "00\n"s
         "\0user = hidden\n"s
         "idletime = 5\n"s);
    EXPECT_EQ(row(kProxyPort).valor, "91");
    EXPECT_FALSE(row(kUser).given);
    EXPECT_EQ(row(kIdletime).valor, "5");
    dumpByDaemon();
}

TEST_F(HostileConfigFile, BinaryGarbageKeepsEveryValueWithinItsLimit) {
    read(e2e::randomBytes(1 << 20, 7) + "\nuser = after\n");
    expectWithinLimits();
    EXPECT_EQ(row(kUser).valor, "after");
    std::string dump = dumpByDaemon();
    EXPECT_NE(dump.find("\nuser = after\n"), std::string::npos);
}

TEST_F(HostileConfigFile, EveryKeyRepeatedManyTimesKeepsItsLastValue) {
    std::string text;
    for (int i = 0; i < 10000; ++i)
        for (const KeyEntry* k = keyTable; k->comando; ++k)
            text += std::string(k->comando) + " = v" + std::to_string(i) + "\n";
    read(text);
    for (const KeyEntry* k = keyTable; k->comando; ++k) {
        EXPECT_TRUE(k->given) << k->comando;
        EXPECT_EQ(k->valor, "v9999") << k->comando;
    }
    std::string dump = dumpByDaemon();
    EXPECT_NE(dump.find("\nretry-printer = v9999\n"), std::string::npos);
}

// A directory opens but cannot be read: the read must end rather than spin.
TEST_F(HostileConfigFile, DirectoryEndsTheReadWithoutAHang) {
    conf_path = dir.path();
    dumpByDaemon();
}

class ValueLength : public HostileConfigFile, public ::testing::WithParamInterface<size_t> {};

TEST_P(ValueLength, IsCutAtSixtyCharacters) {
    size_t length = GetParam();
    std::string value = "/" + std::string(length - 1, 'v');
    read("template-name = " + value + "\n");
    size_t kept = std::min(length, kValueMax);
    EXPECT_EQ(row(kTemplateName).valor, value.substr(0, kept));
    EXPECT_EQ(row(kTemplateName).tam, kept);
    std::string dump = dumpByDaemon();
    EXPECT_NE(dump.find("\ntemplate-name = " + value.substr(0, kept) + "\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(AroundTheLimit, ValueLength, ::testing::Values(59, 60, 61));

class LineLength : public HostileConfigFile, public ::testing::WithParamInterface<size_t> {};

// A line of 1021, 1022 or 1023 bytes with its newline: the tail beyond one
// read (nothing, a newline alone, or one character and a newline) sets
// nothing and the next line is read as usual.
TEST_P(LineLength, TailOfALongLineSetsNothing) {
    const std::string head = "template-name = ";
    std::string line = head + std::string(GetParam() - 1 - head.size(), 'a') + "\n";
    ASSERT_EQ(line.size(), GetParam());
    read(line + "user = after\n");
    EXPECT_EQ(row(kTemplateName).valor, std::string(60, 'a'));
    EXPECT_EQ(row(kUser).valor, "after");
    for (KeyRow r : {kWorkingDir, kTemplateType, kLogfile, kIpLocation, kProxyPort, kProxyIp,
                     kPrinterPort, kPrinterIp, kPrinterDev, kIdletime, kRetryPrinter})
        EXPECT_FALSE(row(r).given) << row(r).comando;
    dumpByDaemon();
}

INSTANTIATE_TEST_SUITE_P(AroundTheReadSize, LineLength, ::testing::Values(1021, 1022, 1023));

// The daemon starts from a configuration whose real settings follow a
// 10 MB comment, zero bytes and binary garbage, and serves a job.
class HostileConfigStart : public hostile::SpoolStart {};

TEST_F(HostileConfigStart, SettingsAfterGarbageStillServe) {
    using namespace std::string_literals;
    std::string before = "#" + std::string(10 << 20, '#') + "\n";
    before += "\0\0\0zero bytes\n"s;
    before += e2e::randomBytes(1 << 20, 11);
    start(before);
    ASSERT_FALSE(HasFatalFailure());
    const std::string job = "JOB-AFTER-GARBAGE";
    sendJob(job);
    ASSERT_TRUE(waitLog(e2e::sentBytes(static_cast<long long>(job.size()))));
    std::string spooled = device();
    EXPECT_TRUE(spooled.starts_with(e2e::kTinyTemplate));
    EXPECT_TRUE(spooled.ends_with(job));
}

} // namespace
