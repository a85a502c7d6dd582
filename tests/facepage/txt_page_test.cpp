#include "capture.h"
#include "common/io.h"
#include "facepage/facepage.h"
#include "startup/startup.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <regex>

using facepagetest::collectPieces;
using facepagetest::ipv4;
using testsupport::writeFile;

namespace {

class TextFormatLine : public ::testing::Test {};

TEST_F(TextFormatLine, FirstPercentSTakesTheValue) {
    EXPECT_EQ(formatTxtLine("IP ADDRESS : %s\n", "10.1.2.3"), "IP ADDRESS : 10.1.2.3\n");
    EXPECT_EQ(formatTxtLine("%s", "v"), "v");
}

TEST_F(TextFormatLine, LineWithoutPercentSDropsTheValue) {
    EXPECT_EQ(formatTxtLine("no value here\n", "10.1.2.3"), "no value here\n");
    EXPECT_EQ(formatTxtLine("", "10.1.2.3"), "");
}

TEST_F(TextFormatLine, DoublePercentGivesOnePercent) {
    EXPECT_EQ(formatTxtLine("100%% : %s\n", "v"), "100% : v\n");
    EXPECT_EQ(formatTxtLine("%%s %s", "v"), "%s v");
}

TEST_F(TextFormatLine, OtherConversionsAreCopiedAsTheyStand) {
    EXPECT_EQ(formatTxtLine("%n %d %s %s %x%\n", "v"), "%n %d v %s %x%\n");
    EXPECT_EQ(formatTxtLine("50% off %", "v"), "50% off %");
}

class TextPage : public facepagetest::SenderTest {
protected:
    void SetUp() override {
        SenderTest::SetUp();
        conf.template_name = dir.file("tindrel.txt");
        writeFile(conf.template_name, kSevenLines);
    }

    // The ctime date of the page, taken from its log line.
    std::string loggedDate() {
        std::smatch m;
        std::string text = logged();
        if (!std::regex_match(text, m,
                              std::regex("Quelvarion : \\[(.{24})\\] : ip=\\[[0-9.]*\\] : "
                                         "msg=\\[Success sending TXT Face Page\\]\n")))
            return "log line missing: " + text;
        return m[1];
    }

    static constexpr const char* kSevenLines = "HEADING ONE\nheading two\nIP=%s\nHOST=%s\n"
                                               "DATE=%s\nOFFICE=%s\nPHONE=%s\nEXTRA=%s\n";
};

TEST_F(TextPage, ListedClientWithHostNameUsesAllSevenLines) {
    std::string host = hostNameOf(ipv4("127.0.0.1"));
    ASSERT_FALSE(host.empty()) << "127.0.0.1 has no host name on this machine";
    listClients("127.0.0.1 LAB-1 5550100\n");

    EXPECT_EQ(SendRostoTXT(0, ipv4("127.0.0.1"), "127.0.0.1"), 0);
    EXPECT_EQ(spooled(), "HEADING ONE\n\nheading two\n\n\n\n\n\nIP=127.0.0.1\nHOST=" + host +
                             "\nDATE=" + loggedDate() + "\nOFFICE=LAB-1\nPHONE=5550100\n-1");
}

TEST_F(TextPage, UnnamedUnlistedClientShiftsTheDateUp) {
    std::string unnamed = facepagetest::unnamedLoopback();
    if (unnamed.empty())
        GTEST_SKIP() << "every candidate loopback address has a host name here";

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(SendRostoTXT(0, ipv4(unnamed.c_str()), unnamed.c_str()), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(spooled(), "HEADING ONE\n\nheading two\n\n\n\n\n\nIP=" + unnamed +
                             "\nHOST=" + loggedDate() + "\n-1");
}

TEST_F(TextPage, ShortHeadingsAreLeftOut) {
    writeFile(conf.template_name, "\na\n%s\n");
    SendRostoTXT(0, ipv4("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(spooled().rfind("127.0.0.1\n", 0), 0u) << spooled();

    writeFile(conf.template_name, "abc\nx\n%s\n");
    SendRostoTXT(0, ipv4("127.0.0.1"), "127.0.0.1");
    std::string second = spooled().substr(spooled().find("-1") + 2);
    EXPECT_EQ(second.rfind("abc\n\n127.0.0.1\n", 0), 0u) << second;
}

TEST_F(TextPage, LongLineArrivesAsSeveralLines) {
    std::string heading(130, 'h');
    writeFile(conf.template_name, heading + "\nIP=%s\n");
    SendRostoTXT(0, ipv4("127.0.0.1"), "127.0.0.1");
    // 119 characters, then the rest of the line counts as the second heading.
    EXPECT_EQ(spooled().rfind(std::string(119, 'h') + "\n" + std::string(11, 'h') +
                                  "\n\n\n\n\n\nIP=127.0.0.1\n",
                              0),
              0u)
        << spooled();
}

TEST_F(TextPage, EmptyTemplateGivesBlankHeadingsAndEndMark) {
    writeFile(conf.template_name, "");
    EXPECT_EQ(SendRostoTXT(0, ipv4("127.0.0.1"), "127.0.0.1"), 0);
    EXPECT_EQ(spooled(), "\n\n\n\n\n\n-1");
}

TEST_F(TextPage, PageMayOutgrowTwiceTheTemplate) {
    writeFile(conf.template_name, "ab\n");
    SendRostoTXT(0, ipv4("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(spooled(), "ab\n\n\n\n\n\n\n-1");

    writeFile(conf.template_name, "%s\n%s\n%s");
    SendRostoTXT(0, ipv4("127.0.0.1"), "127.0.0.1");
    // Headings are copied, never formatted.
    EXPECT_EQ(spooled().substr(11), "%s\n\n%s\n\n\n\n\n\n127.0.0.1-1");
}

TEST_F(TextPage, PercentSignsInTheTemplateAreNotConversions) {
    writeFile(conf.template_name, "100%% %n\n%d%%\nIP=%s %s %x%\n");
    SendRostoTXT(0, ipv4("127.0.0.1"), "127.0.0.1");
    // Headings are copied as they stand; only format lines give "%%" as "%".
    EXPECT_EQ(spooled().rfind("100%% %n\n\n%d%%\n\n\n\n\n\nIP=127.0.0.1 %s %x%\n", 0), 0u)
        << spooled();
}

TEST_F(TextPage, TemplateNameIsTrimmedInPlace) {
    conf.template_name += " \t\r\n";
    EXPECT_EQ(SendRostoTXT(0, ipv4("127.0.0.1"), "127.0.0.1"), 0);
    EXPECT_EQ(conf.template_name, dir.file("tindrel.txt"));
    EXPECT_EQ(spooled().rfind("HEADING ONE\n", 0), 0u);
}

TEST_F(TextPage, MissingTemplateEndsTheProcess) {
    conf.template_name = dir.file("absent.txt");
    EXPECT_EXIT(SendRostoTXT(0, ipv4("127.0.0.1"), "127.0.0.1"), ::testing::ExitedWithCode(1),
                "^SendRostoTXT/fopen: Failure openning template \\.txt file: ");
}

TEST_F(TextPage, PageIsOnePieceOnASocket) {
    listClients("127.0.0.1 LAB-1 5550100\n");
    auto pieces = collectPieces([](int fd) { SendRostoTXT(fd, ipv4("127.0.0.1"), "127.0.0.1"); });
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].rfind("HEADING ONE\n\nheading two\n\n\n\n\n\nIP=127.0.0.1\n", 0), 0u);
    EXPECT_EQ(pieces[0].substr(pieces[0].size() - 16), "PHONE=5550100\n-1");
}

TEST_F(TextPage, VerboseNamesTheTemplate) {
    verbose = 1;
    ::testing::internal::CaptureStdout();
    SendRostoTXT(0, ipv4("127.0.0.1"), "127.0.0.1");
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("SendRostoTXT: conf.template_name=[" + conf.template_name + "]\n", 0), 0u)
        << out;
}

TEST_F(TextPage, ShippedTemplateShowsEveryValue) {
    std::string host = hostNameOf(ipv4("127.0.0.1"));
    conf.template_name = std::string(TINDREL_SOURCE_DIR) + "/share/tindrel.txt";
    listClients("127.0.0.1 LAB-1 5550100\n");
    SendRostoTXT(0, ipv4("127.0.0.1"), "127.0.0.1");
    std::string page = spooled();
    for (const std::string& value : {std::string("127.0.0.1"), host, loggedDate(),
                                     std::string("LAB-1"), std::string("5550100")})
        EXPECT_NE(page.find(value + "\n"), std::string::npos) << value << " in\n" << page;
    EXPECT_EQ(page.find('%'), std::string::npos) << page;
}

} // namespace
