#include "facepage/facepage.h"
#include "startup/startup.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

// Runs the option pass on a command line; the template type is preset so the
// pass returns instead of ending the process.
class OptionPass : public ::testing::Test {
protected:
    void SetUp() override {
        resetKeyTable();
        conf = Conf{};
        conf.template_type = "ps";
        conf_path = kDefaultConfPath;
        sendFacePage = nullptr;
    }
    void TearDown() override {
        conf = Conf{};
        conf_path = kDefaultConfPath;
        verbose = 0;
    }
    int parse(std::initializer_list<const char*> words) {
        args.assign(words.begin(), words.end());
        argv.clear();
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        int rc = parseOptions(static_cast<int>(args.size()), argv.data());
        out = testing::internal::GetCapturedStdout();
        return rc;
    }
    std::vector<std::string> args;
    std::vector<char*> argv;
    std::string out;
};

TEST_F(OptionPass, NoDecidingOptionGivesMinusOne) {
    EXPECT_EQ(parse({"tindrel"}), -1);
    EXPECT_EQ(parse({"tindrel", "-v", "-v"}), -1);
    EXPECT_EQ(verbose, 2);
    EXPECT_EQ(out, "");
}

TEST_F(OptionPass, HelpTextIsPrintedItemByItem) {
    EXPECT_EQ(parse({"tindrel", "-h"}), 1);
    EXPECT_EQ(out, "Usage: tindrel [-C file.conf] [-c] [-v]  [-d | -h ]\n"
                   "       version : tindrel-1.0.2 2005-06-29\n"
                   "\nImplements a HP JetDirect proxy server\n\nOptions\n"
                   " -C : Use the configuration file name 'file.conf'. if undefined the\n"
                   "      default file is /etc/tindrel.conf\n\n"
                   " -c : Read the configuration file. if it exist and show the defined\n"
                   "      parameters. If the file does not exist the program will  show\n"
                   "      the default parameters. You may create  the  tindrel.conf  by\n"
                   "      using this option and redirecting the results to file.\n\n"
                   " -v : Verbose mode. Show each program step at logfile.\n\n"
                   " -d : Run the proxy daemon. Requires option -C\n\n"
                   " -h : shows this short help.\n\n"
                   "News, updates and documentation visit\n"
                   "      https://tindrel.org/\n"
                   "Report bugs and sugestions to <bugs@tindrel.org>\n");
}

TEST_F(OptionPass, ConfigurationFileOptionActsOnlyOnWhatFollows) {
    parse({"tindrel", "-v", "-c", "-C", "/x/a.conf"});
    EXPECT_NE(out.find("readConf : configuration file = [/etc/tindrel.conf]"), std::string::npos);
    EXPECT_EQ(conf_path, "/x/a.conf");

    parse({"tindrel", "-v", "-C", "/x/b.conf", "-c"});
    EXPECT_NE(out.find("readConf : configuration file = [/x/b.conf]"), std::string::npos);
}

TEST_F(OptionPass, LongConfigurationNameIsCutAt120) {
    std::string name = "/" + std::string(149, 'a');
    parse({"tindrel", "-C", name.c_str()});
    EXPECT_EQ(conf_path, name.substr(0, 120));
}

TEST_F(OptionPass, OptionErrorsPrintTheirLineAndLaterOptionsStillAct) {
    EXPECT_EQ(parse({"tindrel", "-x", "-v"}), 1);
    EXPECT_EQ(out, "Invalid option -x\n");
    EXPECT_EQ(verbose, 1);

    EXPECT_EQ(parse({"./tindrel", "-C"}), 1);
    EXPECT_EQ(out, "\nOption -C requires an operand. See ./tindrel -h\n");
}

TEST_F(OptionPass, StrayWordsArePassedOver) {
    EXPECT_EQ(parse({"tindrel", "some.conf", "-v", "-h"}), 1);
    EXPECT_EQ(verbose, 1);
    EXPECT_EQ(out.rfind("Usage: tindrel", 0), 0u);
}

TEST_F(OptionPass, TemplateTypeSelectsTheSenderByItsLeadingCharacters) {
    for (auto [type, sender] :
         {std::pair{"txt", &SendRostoTXT}, {"txtx", &SendRostoTXT}, {"ps", &SendRostoPS}}) {
        conf.template_type = type;
        parse({"tindrel"});
        EXPECT_EQ(sendFacePage, sender) << type;
    }
}

void parseWithType(const char* type) {
    conf.template_type = type;
    char prog[] = "tindrel";
    char* argv1[] = {prog, nullptr};
    parseOptions(1, argv1);
}

TEST_F(OptionPass, OtherTemplateTypesEndTheProcess) {
    for (const char* type : {"PS", "TXT", "", "tx", "p"})
        EXPECT_EXIT(parseWithType(type), ::testing::ExitedWithCode(1), "")
            << "type [" << type << "]";
}

} // namespace
