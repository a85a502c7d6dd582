#include "startup/startup.h"
#include "support/run.h"

#include <gtest/gtest.h>

#include <sstream>

using testsupport::TempDir;
using testsupport::writeFile;

namespace {

class ConfigReader : public ::testing::Test {
protected:
    void SetUp() override {
        resetKeyTable();
        verbose = 0;
        conf_path = dir.file("tindrel.conf");
    }
    void TearDown() override { resetKeyTable(); }

    int readText(const std::string& text) {
        writeFile(conf_path, text);
        return readConf(true);
    }
    const KeyEntry& row(KeyRow r) { return keyTable[r]; }

    TempDir dir;
};

TEST_F(ConfigReader, KeysMatchWithoutRegardToCaseAfterLeadingSpace) {
    ASSERT_EQ(readText("  PROXY-PORT=9100\n"), 0);
    EXPECT_TRUE(row(kProxyPort).given);
    EXPECT_EQ(row(kProxyPort).valor, "9100");
    EXPECT_EQ(row(kProxyPort).tam, 4u);
}

TEST_F(ConfigReader, TrailingWhiteSpaceIsKept) {
    readText("proxy-port = 9100   \nprinter-ip = 10.0.0.1\r\n");
    EXPECT_EQ(row(kProxyPort).valor, "9100   ");
    EXPECT_EQ(row(kProxyPort).tam, 7u);
    EXPECT_EQ(row(kPrinterIp).valor, "10.0.0.1\r");
}

TEST_F(ConfigReader, LastLineWithoutNewlineKeepsItsLastCharacter) {
    readText("user = a\nretry-printer = 5");
    EXPECT_EQ(row(kRetryPrinter).valor, "5");
}

TEST_F(ConfigReader, KeyAloneIsNotGivenKeyWithEqualsIsGivenEmpty) {
    readText("logfile\nidletime=\n");
    EXPECT_FALSE(row(kLogfile).given);
    EXPECT_EQ(row(kLogfile).valor, "");
    EXPECT_TRUE(row(kIdletime).given);
    EXPECT_EQ(row(kIdletime).valor, "");
    EXPECT_EQ(row(kIdletime).tam, 0u);
}

TEST_F(ConfigReader, LaterLineReplacesEarlierButValuelessLineKeepsLength) {
    readText("user = a\nuser = b\nproxy-port = 9100\nproxy-port\nprinter-port = 515\nprinter-port =\n");
    EXPECT_EQ(row(kUser).valor, "b");

    EXPECT_FALSE(row(kProxyPort).given);
    EXPECT_EQ(row(kProxyPort).valor, "");
    EXPECT_EQ(row(kProxyPort).tam, 4u);

    EXPECT_TRUE(row(kPrinterPort).given);
    EXPECT_EQ(row(kPrinterPort).valor, "");
    EXPECT_EQ(row(kPrinterPort).tam, 3u);
}

TEST_F(ConfigReader, ValueOfWhiteSpaceOnlyHasLengthZero) {
    readText("template-type =    \n");
    EXPECT_TRUE(row(kTemplateType).given);
    EXPECT_EQ(row(kTemplateType).tam, 0u);
}

TEST_F(ConfigReader, LongValueIsCutToSixtyCharacters) {
    std::string value(70, 'v');
    readText("printer-dev = " + value + "\n");
    EXPECT_EQ(row(kPrinterDev).valor, value.substr(0, 60));
    EXPECT_EQ(row(kPrinterDev).tam, 60u);
}

TEST_F(ConfigReader, KeyIsMatchedAsPrefixAndOnlyFirstRowIsTouched) {
    readText("username = alice\nuser-id=bob\nlogfilename = x.log\n");
    EXPECT_EQ(row(kUser).valor, "bob");
    EXPECT_EQ(row(kLogfile).valor, "x.log");
}

TEST_F(ConfigReader, CommentsAndUnknownLinesAreIgnored) {
    readText("# user = root\n   #user = root\nfoo = bar\n\n   \nuser = kept\n");
    EXPECT_EQ(row(kUser).valor, "kept");
    for (KeyRow r : {kWorkingDir, kTemplateName, kLogfile})
        EXPECT_FALSE(row(r).given);
}

TEST_F(ConfigReader, OverlongLineArrivesInPiecesEachTakenAsALine) {
    // A read takes at most 1021 characters; the rest is a line of its own.
    readText(std::string(1021, 'x') + "user = zed\n");
    EXPECT_EQ(row(kUser).valor, "zed");
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

TEST_F(ConfigReader, DirectoryIsNoConfiguration) {
    conf_path = dir.path();
    EXPECT_EQ(readConf(true), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(readConf(false), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "readConf/fgets: configuration file unreadable: Is a directory\n");
}

TEST_F(ConfigReader, VerboseNamesTheFile) {
    writeFile(conf_path, "");
    verbose = 1;
    testing::internal::CaptureStdout();
    readConf(true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "readConf : configuration file = [" + conf_path + "]\n");
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

class ConfigDump : public ConfigReader {};

TEST_F(ConfigDump, DefaultsDumpLineByLine) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(showConf(true), 0);
    auto got = lines(testing::internal::GetCapturedStdout());
    ASSERT_EQ(got.size(), 20u);
    EXPECT_EQ(got[0], "#");
    EXPECT_EQ(got[1], "# Tindrel Configuration Parameters");
    EXPECT_EQ(got[2], "# version: tindrel-1.0.2 2005-06-29");
    EXPECT_EQ(got[3], "# By Ansel Pirrow - KORVA - BR");
    EXPECT_EQ(got[4], "#");
    EXPECT_EQ(got[5].size(), 2u + 24u);  // "# " and the ctime text
    const char* expected[] = {
        "user = tindrelusr", "working-dir = /var/lib/tindrel", "template-name = tindrel.ps",
        "template-type = ps", "logfile = tindrel.log", "ip-location = tindrel.db",
        "proxy-port = 9100", "proxy-ip = 0.0.0.0", "printer-port = 9100",
        "printer-ip = 127.0.0.1", "printer-dev = /dev/lp0", "idletime = 90",
        "retry-printer = 3"};
    for (size_t i = 0; i < 13; ++i)
        EXPECT_EQ(got[6 + i], expected[i]);
    EXPECT_EQ(got[19], "#");
}

TEST_F(ConfigDump, ValuesDumpShowsMissingKeysEmpty) {
    readText("user = lp\nidletime = 5  \n");
    testing::internal::CaptureStdout();
    showConf(false);
    auto got = lines(testing::internal::GetCapturedStdout());
    ASSERT_EQ(got.size(), 20u);
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
    std::string dump = testing::internal::GetCapturedStdout();
    // What the start-up prints after the dump must be harmless in the file too.
    dump += "Invalid template type. May be only \"ps\" or \"txt\"\n";

    resetKeyTable();
    readText(dump);
    size_t i = 0;
    for (const KeyEntry* k = keyTable; k->comando; ++k, ++i) {
        EXPECT_TRUE(k->given) << k->comando;
        EXPECT_EQ(k->valor, before[i]) << k->comando;
        EXPECT_EQ(k->tam, before[i].size()) << k->comando;
    }
}

} // namespace
