#include "capture.h"
#include "common/io.h"
#include "facepage/facepage.h"
#include "settings/settings.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <regex>

using facepagetest::collectPieces;
using facepagetest::goneSocket;
using facepagetest::ipv4;
using testsupport::writeFile;

namespace {

// The first "%s" takes the value, "%%" gives "%", and everything else,
// other conversions included, is copied as it stands.
TEST(TextFormatLine, FormatsOnlyTheFirstPercentS) {
    const std::pair<const char*, const char*> cases[] = {
        {"IP ADDRESS : %s\n", "IP ADDRESS : v\n"},
        {"%s", "v"},
        {"no value here\n", "no value here\n"},
        {"", ""},
        {"100%% : %s\n", "100% : v\n"},
        {"%%s %s", "%s v"},
        {"%n %d %s %s %x%\n", "%n %d v %s %x%\n"},
        {"50% off %", "50% off %"},
    };
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(formatTxtLine(line, "v"), expected) << "line [" << line << "]";
}

class TextPage : public facepagetest::SenderTest {
protected:
    void SetUp() override {
        SenderTest::SetUp();
        conf.template_name = dir.file("tindrel.txt");
        writeFile(conf.template_name, kNineLines);
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

    static constexpr const char* kNineLines = "HEADING ONE\nheading two\nIP=%s\nHOST=%s\n"
                                              "DATE=%s\nOFFICE=%s\nPHONE=%s\nOWNER=%s\n"
                                              "DOCUMENT=%s\nEXTRA=%s\n";
};

TEST_F(TextPage, ListedClientWithHostNameAndClaimsUsesEveryLine) {
    std::string host = hostNameOf(ipv4("127.0.0.1"));
    ASSERT_FALSE(host.empty()) << "127.0.0.1 has no host name on this machine";
    listClients("127.0.0.1 LAB-1 5550100\n");

    PageClaims claims{"wiwang", "Quarterly report \xc3\xa9 \xe2\x82\xac.pdf"};
    EXPECT_EQ(SendRostoTXT(spool, ipv4("127.0.0.1"), "127.0.0.1", claims), 0);
    EXPECT_EQ(spooled(), "HEADING ONE\n\nheading two\n\n\n\n\n\nIP=127.0.0.1\nHOST=" + host +
                             "\nDATE=" + loggedDate() +
                             "\nOFFICE=LAB-1\nPHONE=5550100\nOWNER=wiwang\n"
                             "DOCUMENT=Quarterly report \xe9 ?.pdf\n-1");
}

// Every line keeps its role: a missing value leaves its line out, and the
// date is never printed under the host name's label.
TEST_F(TextPage, MissingValuesLeaveTheirLinesOut) {
    std::string unnamed = facepagetest::unnamedLoopback();
    if (unnamed.empty())
        GTEST_SKIP() << "every candidate loopback address has a host name here";

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(SendRostoTXT(spool, ipv4(unnamed.c_str()), unnamed.c_str(), {"", "memo.txt"}), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(spooled(), "HEADING ONE\n\nheading two\n\n\n\n\n\nIP=" + unnamed +
                             "\nDATE=" + loggedDate() + "\nDOCUMENT=memo.txt\n-1");
}

// The page from a template with an unlisted client: headings of fewer than
// three characters are left out, a line is read 119 characters at a time,
// headings are copied as they stand and only format lines give "%%" as "%".
TEST_F(TextPage, TemplateShapesThePage) {
    const std::string h119(119, 'h');
    struct Case {
        std::string tmpl;
        std::string page;
        bool whole; // the whole page, or else its start
    };
    const Case cases[] = {
        {"\na\n%s\n", "127.0.0.1\n", false},
        {"abc\nx\n%s\n", "abc\n\n127.0.0.1\n", false},
        {h119 + "hhhhhhhhhhh\nIP=%s\n", h119 + "\nhhhhhhhhhhh\n\n\n\n\n\nIP=127.0.0.1\n", false},
        {"", "\n\n\n\n\n\n-1", true},
        {"ab\n", "ab\n\n\n\n\n\n\n-1", true},
        {"%s\n%s\n%s", "%s\n\n%s\n\n\n\n\n\n127.0.0.1-1", true},
        {"100%% %n\n%d%%\nIP=%s %s %x%\n", "100%% %n\n\n%d%%\n\n\n\n\n\nIP=127.0.0.1 %s %x%\n",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tmpl);
        writeFile(conf.template_name, c.tmpl);
        std::rewind(spool.device);
        ASSERT_EQ(ftruncate(fileno(spool.device), 0), 0);
        EXPECT_EQ(SendRostoTXT(spool, ipv4("127.0.0.1"), "127.0.0.1", {}), 0);
        if (c.whole)
            EXPECT_EQ(spooled(), c.page);
        else
            EXPECT_TRUE(spooled().starts_with(c.page)) << spooled();
    }
}

TEST_F(TextPage, TemplateNameIsTrimmedInPlace) {
    conf.template_name += " \t\r\n";
    EXPECT_EQ(SendRostoTXT(spool, ipv4("127.0.0.1"), "127.0.0.1", {}), 0);
    EXPECT_EQ(conf.template_name, dir.file("tindrel.txt"));
    EXPECT_EQ(spooled().rfind("HEADING ONE\n", 0), 0u);
}

TEST_F(TextPage, MissingTemplateFailsThePageAndIsLogged) {
    conf.template_name = dir.file("absent.txt");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(SendRostoTXT(spool, ipv4("127.0.0.1"), "127.0.0.1", {}), 1);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("SendRostoTXT/fopen: Failure openning template .txt file: ", 0), 0u) << err;
    EXPECT_TRUE(spool.template_unreadable);
    EXPECT_NE(logged().find("msg=[Failure sending TXT Face Page]"), std::string::npos);
}

TEST_F(TextPage, PeerThatHasGoneFailsThePageAndIsLogged) {
    PageOutput gone = goneSocket();
    EXPECT_EQ(SendRostoTXT(gone, ipv4("127.0.0.1"), "127.0.0.1", {}), 1);
    close(gone.socket);
    EXPECT_FALSE(gone.whole);
    EXPECT_NE(logged().find("msg=[Failure sending TXT Face Page]"), std::string::npos) << logged();
    EXPECT_EQ(logged().find("Success"), std::string::npos) << logged();
}

TEST_F(TextPage, PageIsOnePieceOnASocket) {
    listClients("127.0.0.1 LAB-1 5550100\n");
    auto pieces =
        collectPieces([](PageOutput& fd) { SendRostoTXT(fd, ipv4("127.0.0.1"), "127.0.0.1", {}); });
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].rfind("HEADING ONE\n\nheading two\n\n\n\n\n\nIP=127.0.0.1\n", 0), 0u);
    EXPECT_EQ(pieces[0].substr(pieces[0].size() - 16), "PHONE=5550100\n-1");
}

TEST_F(TextPage, ShippedTemplateShowsEveryValue) {
    std::string host = hostNameOf(ipv4("127.0.0.1"));
    conf.template_name = std::string(TINDREL_SOURCE_DIR) + "/share/tindrel.txt";
    listClients("127.0.0.1 LAB-1 5550100\n");
    SendRostoTXT(spool, ipv4("127.0.0.1"), "127.0.0.1", {});
    std::string page = spooled();
    for (const std::string& value : {std::string("127.0.0.1"), host, loggedDate(),
                                     std::string("LAB-1"), std::string("5550100")})
        EXPECT_NE(page.find(value + "\n"), std::string::npos) << value << " in\n" << page;
    EXPECT_EQ(page.find('%'), std::string::npos) << page;
}

} // namespace
