// The configuration reader and its dump, on ordinary and on hostile files:
// huge lines, zero bytes, binary garbage, keys repeated many times. Each is
// read within the limits (a value keeps at most 60 characters, a line is
// read 1021 characters at a time), never a crash or a hang.
#include "settings/settings.h"
#include "support/support.h"

#include <gtest/gtest.h>

using namespace std::string_literals;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

constexpr std::string_view kInvalidType = "Invalid template type. May be only \"ps\" or \"txt\"\n";

class ConfigReader : public ::testing::Test {
protected:
    void SetUp() override {
        resetKeyTable();
        verbose = 0;
        conf_path = dir.file("tindrel.conf");
    }
    void TearDown() override { resetKeyTable(); }

    int readText(std::string_view text) {
        writeFile(conf_path, text);
        return readConf(true);
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
        EXPECT_EQ(r.err.find("runtime error:"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("AddressSanitizer"), std::string::npos) << r.err;
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(r.out.starts_with("#\n# Tindrel Configuration Parameters\n"));
        EXPECT_TRUE(r.out.ends_with(kInvalidType));
        return r.out;
    }

    TempDir dir;
};

// What one row holds after reading a file.
struct RowCase {
    const char* what;
    std::string text;
    KeyRow row;
    bool given;
    std::string value;
    size_t length;
};

TEST_F(ConfigReader, RowsHoldWhatTheFileGave) {
    const RowCase cases[] = {
        {"key case and leading space", "  PROXY-PORT=9100\n", kProxyPort, true, "9100", 4},
        {"trailing white space kept", "proxy-port = 9100   \n", kProxyPort, true, "9100   ", 7},
        {"carriage return kept", "printer-ip = 10.0.0.1\r\n", kPrinterIp, true, "10.0.0.1\r", 9},
        {"last line without newline", "user = a\nretry-printer = 5", kRetryPrinter, true, "5", 1},
        {"key alone is not given", "logfile\n", kLogfile, false, "", 0},
        {"key and equals given empty", "idletime=\n", kIdletime, true, "", 0},
        {"white space only", "template-type =    \n", kTemplateType, true, "", 0},
        {"later line replaces", "user = a\nuser = b\n", kUser, true, "b", 1},
        {"valueless line keeps length", "proxy-port = 9100\nproxy-port\n", kProxyPort, false, "",
         4},
        {"empty value keeps length", "printer-port = 515\nprinter-port =\n", kPrinterPort, true, "",
         3},
        {"cut at sixty", "printer-dev = " + std::string(70, 'v') + "\n", kPrinterDev, true,
         std::string(60, 'v'), 60},
        {"prefix match, first row", "username = alice\nuser-id=bob\n", kUser, true, "bob", 3},
        {"prefix match, longer key", "logfilename = x.log\n", kLogfile, true, "x.log", 5},
        {"comments and unknown lines", "# user = root\n   #user = root\nfoo = bar\n\nuser = kept\n",
         kUser, true, "kept", 4},
        {"commented key", "# working-dir = /x\n   #logfile = y\n", kWorkingDir, false, "", 0},
        {"overlong line in pieces", std::string(1021, 'x') + "user = zed\n", kUser, true, "zed", 3},
        {"comment longer than a read", "#" + std::string(1020, 'c') + "proxy-port = 7000\n",
         kProxyPort, true, "7000", 4},
        {"zero byte ends the line",
         "proxy-port = 91\0"s
         "00\n",
         kProxyPort, true, "91", 2},
        {"line after a zero byte", "\0user = hidden\n"s, kUser, false, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        resetKeyTable();
        ASSERT_EQ(readText(c.text), 0);
        EXPECT_EQ(row(c.row).given, c.given);
        EXPECT_EQ(row(c.row).valor, c.value);
        EXPECT_EQ(row(c.row).tam, c.length);
    }
}

TEST_F(ConfigReader, MissingFileReturnsOneAndOnlyApplyingModeSaysSo) {
    conf_path = dir.file("absent.conf");
    testing::internal::CaptureStderr();
    EXPECT_EQ(readConf(true), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    testing::internal::CaptureStderr();
    EXPECT_EQ(readConf(false), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "readConf/fopen: configuration file not found: No such file or directory\n");
}

// A directory opens but cannot be read: the read must end rather than spin.
TEST_F(ConfigReader, DirectoryIsNoConfiguration) {
    conf_path = dir.path();
    EXPECT_EQ(readConf(true), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(readConf(false), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "readConf/fgets: configuration file unreadable: Is a directory\n");
    dumpByDaemon();
}

TEST_F(ConfigReader, VerboseNamesTheFile) {
    writeFile(conf_path, "");
    verbose = 1;
    testing::internal::CaptureStdout();
    readConf(true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "readConf : configuration file = [" + conf_path + "]\n");
}

TEST_F(ConfigReader, TenMegabyteValueIsCutAndLaterLinesStillCount) {
    readText("template-name = /" + std::string(10 << 20, 'a') + "\nretry-printer = 7\n");
    EXPECT_EQ(row(kTemplateName).valor, "/" + std::string(59, 'a'));
    EXPECT_EQ(row(kRetryPrinter).valor, "7");
    // The rest of the long line arrives in pieces that match no key.
    EXPECT_FALSE(row(kUser).given);
    expectWithinLimits();
    std::string dump = dumpByDaemon();
    EXPECT_NE(dump.find("\ntemplate-name = /" + std::string(59, 'a') + "\n"), std::string::npos);
    EXPECT_NE(dump.find("\nretry-printer = 7\n"), std::string::npos);
}

TEST_F(ConfigReader, BinaryGarbageKeepsEveryValueWithinItsLimit) {
    readText(testsupport::randomBytes(1 << 20, 7) + "\nuser = after\n");
    expectWithinLimits();
    EXPECT_EQ(row(kUser).valor, "after");
    EXPECT_NE(dumpByDaemon().find("\nuser = after\n"), std::string::npos);
}

TEST_F(ConfigReader, EveryKeyRepeatedManyTimesKeepsItsLastValue) {
    std::string text;
    for (int i = 0; i < 10000; ++i)
        for (const KeyEntry* k = keyTable; k->comando; ++k)
            text += std::string(k->comando) + " = v" + std::to_string(i) + "\n";
    readText(text);
    for (const KeyEntry* k = keyTable; k->comando; ++k) {
        EXPECT_TRUE(k->given) << k->comando;
        EXPECT_EQ(k->valor, "v9999") << k->comando;
    }
    EXPECT_NE(dumpByDaemon().find("\nretry-printer = v9999\n"), std::string::npos);
}

class ValueLength : public ConfigReader, public ::testing::WithParamInterface<size_t> {};

TEST_P(ValueLength, IsCutAtSixtyCharacters) {
    std::string value = "/" + std::string(GetParam() - 1, 'v');
    readText("template-name = " + value + "\n");
    std::string kept = value.substr(0, kValueMax);
    EXPECT_EQ(row(kTemplateName).valor, kept);
    EXPECT_EQ(row(kTemplateName).tam, kept.size());
    EXPECT_NE(dumpByDaemon().find("\ntemplate-name = " + kept + "\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(AroundTheLimit, ValueLength, ::testing::Values(59, 60, 61));

class LineLength : public ConfigReader, public ::testing::WithParamInterface<size_t> {};

// A line of 1021, 1022 or 1023 bytes with its newline: the tail beyond one
// read (nothing, a newline alone, or one character and a newline) sets
// nothing and the next line is read as usual.
TEST_P(LineLength, TailOfALongLineSetsNothing) {
    const std::string head = "template-name = ";
    std::string line = head + std::string(GetParam() - 1 - head.size(), 'a') + "\n";
    readText(line + "user = after\n");
    EXPECT_EQ(row(kTemplateName).valor, std::string(60, 'a'));
    EXPECT_EQ(row(kUser).valor, "after");
    for (KeyRow r : {kWorkingDir, kTemplateType, kLogfile, kIpLocation, kProxyPort, kProxyIp,
                     kPrinterPort, kPrinterIp, kPrinterDev, kIdletime, kRetryPrinter})
        EXPECT_FALSE(row(r).given) << row(r).comando;
    dumpByDaemon();
}

INSTANTIATE_TEST_SUITE_P(AroundTheReadSize, LineLength, ::testing::Values(1021, 1022, 1023));

class ConfigDump : public ConfigReader {
protected:
    std::vector<std::string> dump(bool defaults) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(showConf(defaults), 0);
        return testsupport::splitLines(testing::internal::GetCapturedStdout());
    }
};

TEST_F(ConfigDump, DefaultsDumpLineByLine) {
    auto got = dump(true);
    ASSERT_EQ(got.size(), 23u);
    const std::vector<std::string> head = {"#", "# Tindrel Configuration Parameters",
                                           "# version: tindrel-1.0.2 2005-06-29",
                                           "# By Ansel Pirrow - KORVA - BR", "#"};
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 5), head);
    EXPECT_EQ(got[5].size(), 2u + 24u); // "# " and the ctime text
    const std::vector<std::string> keys = {
        "user = tindrelusr",          "working-dir = /var/lib/tindrel",
        "template-name = tindrel.ps", "template-type = ps",
        "logfile = tindrel.log",      "ip-location = tindrel.db",
        "proxy-port = 9100",          "proxy-ip = 0.0.0.0",
        "printer-port = 9100",        "printer-ip = 127.0.0.1",
        "printer-dev = /dev/lp0",     "idletime = 90",
        "retry-printer = 3",          "accounting = ",
        "printer-status = off",       "metrics = "};
    EXPECT_EQ(std::vector<std::string>(got.begin() + 6, got.begin() + 22), keys);
    EXPECT_EQ(got[22], "#");
}

TEST_F(ConfigDump, ValuesDumpShowsMissingKeysEmpty) {
    readText("user = lp\nidletime = 5  \n");
    auto got = dump(false);
    ASSERT_EQ(got.size(), 23u);
    EXPECT_EQ(got[6], "user = lp");
    EXPECT_EQ(got[7], "working-dir = ");
    EXPECT_EQ(got[17], "idletime = 5  ");
}

TEST_F(ConfigDump, DumpReadsBackAsTheSameConfiguration) {
    readText("user = lp\nworking-dir = /srv/print\nidletime = 5  \nlogfile = *jobs.log\n");
    std::vector<std::string> before;
    for (const KeyEntry* k = keyTable; k->comando; ++k)
        before.push_back(k->valor);

    testing::internal::CaptureStdout();
    showConf(false);
    // What the start-up prints after the dump must be harmless in the file too.
    std::string text = testing::internal::GetCapturedStdout() + std::string(kInvalidType);
    resetKeyTable();
    readText(text);
    size_t i = 0;
    for (const KeyEntry* k = keyTable; k->comando; ++k, ++i) {
        EXPECT_TRUE(k->given) << k->comando;
        EXPECT_EQ(k->valor, before[i]) << k->comando;
        EXPECT_EQ(k->tam, before[i].size()) << k->comando;
    }
}

} // namespace
