// The shipped sample configuration, etc/tindrel.conf, must stay the
// daemon's own defaults: the same key lines, in the same order, as the
// configuration dump prints when no file can be read.
#include <gtest/gtest.h>

#include "package/package.h"

namespace {

class SampleConfiguration : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::RunResult dump = pkg::defaultDump();
        ASSERT_FALSE(dump.timed_out);
        // Without an applied configuration the dump ends in the template-type failure.
        ASSERT_EQ(dump.status, 1) << dump.out << dump.err;
        std::vector<std::string> lines = pkg::splitLines(dump.out);
        ASSERT_GE(lines.size(), 6u);
        ASSERT_EQ(lines[1], "# Tindrel Configuration Parameters");
        ASSERT_EQ(lines.back(), pkg::kTemplateTypeFailure);
        defaults = pkg::dumpKeyLines(dump.out);
        ASSERT_EQ(defaults.size(), 16u) << dump.out;
    }

    std::vector<std::string> defaults;
};

TEST_F(SampleConfiguration, SettingsAreTheDefaultDumpLinesInOrder) {
    std::string sample = testsupport::readFile(pkg::sourceFile("etc/tindrel.conf"));
    ASSERT_FALSE(sample.empty());
    EXPECT_EQ(pkg::settingLines(sample), pkg::shippedKeyLines());
}

// What the daemon reads from the file (trailing blanks, CR LF ends, a
// comment that happens to start with a key) must give the same lines back.
TEST_F(SampleConfiguration, ReadByTheDaemonGivesTheDefaults) {
    testsupport::RunResult dump =
        testsupport::run({TINDREL_BINARY, "-C", pkg::sourceFile("etc/tindrel.conf"), "-c"});
    ASSERT_FALSE(dump.timed_out);
    EXPECT_EQ(pkg::dumpKeyLines(dump.out), pkg::shippedKeyLines()) << dump.out;
}

TEST_F(SampleConfiguration, EveryKeyIsDocumentedWithItsDefault) {
    std::string manual = testsupport::readFile(pkg::sourceFile("man/tindrel.conf.5"));
    ASSERT_FALSE(manual.empty());
    for (const std::string& line : defaults) {
        size_t eq = line.find(" = ");
        ASSERT_NE(eq, std::string::npos) << line;
        std::string key = line.substr(0, eq);
        std::string roff_key;
        for (char c : key)
            roff_key += c == '-' ? std::string("\\-") : std::string(1, c);
        std::string entry = ".BR " + roff_key + " \" = " + line.substr(eq + 3) + "\"";
        EXPECT_NE(manual.find(entry), std::string::npos) << "tindrel.conf(5) lacks " << entry;
    }
}

} // namespace
