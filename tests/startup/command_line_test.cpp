// The built program's output and exit status for command lines that end
// before serving.
#include "support/support.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

using testsupport::run;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

const std::string kBadType = "Invalid template type. May be only \"ps\" or \"txt\"\n";

// A user the program accepts in this start: the switch target when root,
// otherwise the caller itself.
std::string runUserLine() {
    return geteuid() == 0 ? "user = nobody\n" : "";
}

std::string guessLines() {
    if (geteuid() == 0)
        return "";
    return "I guess that you know what you are doing ... \n"
           "I was right... I guess! Keeping in current diretory!\n";
}

// The help text alone, without the line that follows it in a start that
// applied no configuration.
std::string helpText() {
    std::string out = run({TINDREL_BINARY, "-h"}).out;
    return out.substr(0, out.size() - kBadType.size());
}

class CommandLine : public ::testing::Test {
protected:
    TempDir dir;
};

// Command lines that apply no configuration end at the template type, with
// the whole output given, or its start and a text it holds.
TEST_F(CommandLine, WithoutAConfigurationEndsAtTheTemplateType) {
    const std::string absent = dir.file("absent.conf");
    const std::string usage = "Usage: tindrel [-C file.conf] [-c] [-v]  [-d | -h ]\n";
    struct Case {
        std::vector<std::string> args;
        std::string out, holds, err;
    };
    const Case cases[] = {
        {{}, kBadType, "", ""},
        {{"-x"}, "Invalid option -x\n" + kBadType, "", ""},
        {{"-C"}, "\nOption -C requires an operand. See " TINDREL_BINARY " -h\n" + kBadType, "", ""},
        {{"-C", absent, "-d"},
         kBadType,
         "",
         "readConf/fopen: configuration file not found: No such file or directory\n"},
        {{"-h"}, usage, "<bugs@tindrel.org>\n" + kBadType, ""},
        {{"-C", absent, "-c"}, "#\n", "\nuser = tindrelusr\nworking-dir = /var/lib/tindrel\n", ""},
        {{"-C", absent, "-c"},
         "#\n",
         "retry-printer = 3\naccounting = \nprinter-status = off\nmetrics = \n#\n" + kBadType,
         ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {TINDREL_BINARY};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto r = run(args);
        SCOPED_TRACE(r.out);
        if (c.holds.empty()) {
            EXPECT_EQ(r.out, c.out);
        } else {
            EXPECT_TRUE(r.out.starts_with(c.out));
            EXPECT_NE(r.out.find(c.holds), std::string::npos);
        }
        EXPECT_TRUE(r.out.ends_with(kBadType));
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
    }
}

TEST_F(CommandLine, LongHelpAndVersionEndAtOnce) {
    auto r = run({TINDREL_BINARY, "--help"});
    EXPECT_EQ(r.out, helpText());
    EXPECT_EQ(r.status, 0);
    r = run({TINDREL_BINARY, "--version"});
    EXPECT_EQ(r.out, "tindrel-1.0.2 2005-06-29\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(CommandLine, AppliedConfigurationThenHelpEndsWithoutServing) {
    writeFile(dir.file("a.conf"), runUserLine() + "working-dir = " + dir.path() + "\n");
    auto r = run({TINDREL_BINARY, "-C", dir.file("a.conf"), "-d", "-h"});
    EXPECT_EQ(r.out, guessLines() + helpText());
    EXPECT_EQ(r.status, 0);
}

TEST_F(CommandLine, TextTemplateTypeIsCaseSensitive) {
    writeFile(dir.file("txt.conf"), runUserLine() + "template-type = txt\n");
    EXPECT_EQ(run({TINDREL_BINARY, "-C", dir.file("txt.conf"), "-d", "-h"}).status, 0);

    writeFile(dir.file("TXT.conf"), runUserLine() + "template-type = TXT\n");
    auto r = run({TINDREL_BINARY, "-C", dir.file("TXT.conf"), "-d", "-h"});
    EXPECT_TRUE(r.out.ends_with(kBadType));
    EXPECT_EQ(r.status, 1);
}

TEST_F(CommandLine, LaterConfigurationOptionDoesNotAffectAnEarlierApply) {
    // "-d -C file" reads the default file, which a test machine lacks or
    // which is not ours: only the order of the messages is checked.
    writeFile(dir.file("a.conf"), runUserLine());
    auto r = run({TINDREL_BINARY, "-v", "-d", "-C", dir.file("a.conf"), "-h"});
    EXPECT_EQ(r.out.rfind("readConf : configuration file = [/etc/tindrel.conf]\n", 0), 0u);
}

} // namespace
