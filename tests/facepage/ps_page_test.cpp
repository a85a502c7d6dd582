#include "capture.h"
#include "facepage/facepage.h"
#include "settings/settings.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <regex>

using facepagetest::collectPieces;
using facepagetest::goneSocket;
using facepagetest::ipv4;
using facepagetest::joined;
using testsupport::writeFile;

namespace {

const std::string kTrailer = "border\ngrestore\nend % of iso1dict\npagesave restore\nshowpage\n\n"
                             "%%Trailer\nend\n%%EOF\n\xFF";

class DateStamp : public ::testing::Test {};

TEST_F(DateStamp, FieldsArePaddedWithSpaces) {
    std::time_t before = std::time(nullptr);
    char buf[30];
    std::memset(buf, 'x', sizeof buf);
    ASSERT_EQ(stampDate(buf, sizeof buf), 0);
    std::time_t after = std::time(nullptr);

    std::string stamp(buf);
    // Two-digit fields below ten start with a space, never a zero.
    const char* two = "( [0-9]|[1-9][0-9])";
    std::regex form(std::string("[0-9]{4}/") + two + "/" + two + " " + two + ":" + two + ":" + two);
    EXPECT_TRUE(std::regex_match(stamp, form)) << stamp;
    for (size_t i = stamp.size(); i < sizeof buf; ++i)
        EXPECT_EQ(buf[i], '\0') << i;

    int y, mo, d, h, mi, s;
    ASSERT_EQ(std::sscanf(buf, "%d/%d/%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s), 6);
    bool matches = false;
    for (std::time_t t = before; t <= after; ++t) {
        std::tm tm{};
        localtime_r(&t, &tm);
        matches = matches || (y == tm.tm_year + 1900 && mo == tm.tm_mon + 1 && d == tm.tm_mday &&
                              h == tm.tm_hour && mi == tm.tm_min && s == tm.tm_sec);
    }
    EXPECT_TRUE(matches) << stamp;
}

TEST_F(DateStamp, SmallBufferIsLeftUntouched) {
    char buf[19];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(stampDate(buf, sizeof buf), 1);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, 'x'));

    char exact[20];
    EXPECT_EQ(stampDate(exact, sizeof exact), 0);
    EXPECT_EQ(std::strlen(exact), 19u);
}

// Delimiters get a backslash, bytes outside printable ASCII are octal.
TEST(PostScriptEscape, ValuesCannotEndTheirString) {
    const std::pair<std::string, std::string> cases[] = {
        {"10.1.2.3", "10.1.2.3"},
        {"printhost.example.org", "printhost.example.org"},
        {"2005/ 6/28 10: 5: 3", "2005/ 6/28 10: 5: 3"},
        {"", ""},
        {" ~", " ~"},
        {"a(b)c\\d", "a\\(b\\)c\\\\d"},
        {") showpage (", "\\) showpage \\("},
        {std::string("\n\t\x7f\xe9\xff", 5), "\\012\\011\\177\\351\\377"},
        {std::string("a\0b", 3), "a\\000b"},
    };
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(psEscape(value), expected) << "value [" << value << "]";
}

class PostScriptPage : public facepagetest::SenderTest {
protected:
    void SetUp() override {
        SenderTest::SetUp();
        conf.template_name = dir.file("tindrel.ps");
        writeFile(conf.template_name, "%!PS template\n");
    }

    // The date stamp of the page, taken from its log line.
    std::string loggedStamp(const std::string& ip) {
        std::smatch m;
        std::string text = logged();
        std::regex line("Quelvarion : \\[(.{19})\\] : ip=\\[" +
                        std::regex_replace(ip, std::regex("\\."), "\\.") +
                        "\\] : msg=\\[Success sending Face Page\\]\n");
        if (!std::regex_match(text, m, line))
            return "log line missing: " + text;
        return m[1];
    }
};

TEST_F(PostScriptPage, ListedClientWithHostNameGetsAllLines) {
    std::string host = hostNameOf(ipv4("127.0.0.1"));
    ASSERT_FALSE(host.empty()) << "127.0.0.1 has no host name on this machine";
    listClients("127.0.0.1 LAB-1 5550100\n");

    EXPECT_EQ(SendRostoPS(spool, ipv4("127.0.0.1"), "127.0.0.1", {}), 0);
    std::string stamp = loggedStamp("127.0.0.1");
    EXPECT_EQ(spooled(), "%!PS template\n(IP ADDRESS : 127.0.0.1) N\n(USER HOSTNAME : " +
                             psEscape(host) + ") N\n(DATE : " + stamp +
                             ") N\n(OFFICE : LAB-1) N\n(PHONE : 5550100) N\n" + kTrailer);
}

TEST_F(PostScriptPage, ClientWithoutHostNameGetsAddressAndDateOnly) {
    std::string unnamed = facepagetest::unnamedLoopback();
    if (unnamed.empty())
        GTEST_SKIP() << "every candidate loopback address has a host name here";

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(SendRostoPS(spool, ipv4(unnamed.c_str()), unnamed.c_str(), {}), 0);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("SendRostoPS/gethostbyaddr: ", 0), 0u) << err;
    EXPECT_EQ(spooled(), "%!PS template\n(IP ADDRESS : " + unnamed +
                             ") N\n(DATE : " + loggedStamp(unnamed) + ") N\n" + kTrailer);
}

// The job's owner and document follow the lines of the machine, each only
// when stated, and the owner becomes the name shown large.
TEST_F(PostScriptPage, JobClaimsFollowAndTheOwnerIsShownLarge) {
    std::string unnamed = facepagetest::unnamedLoopback();
    if (unnamed.empty())
        GTEST_SKIP() << "every candidate loopback address has a host name here";
    const std::pair<PageClaims, std::string> cases[] = {
        {{"wiwang", "Quarterly report \xc3\xa9 (\xe2\x82\xac).pdf"},
         "(JOB OWNER : wiwang) N\n/bigname (wiwang) def\n"
         "(DOCUMENT : Quarterly report \\351 \\(?\\).pdf) N\n"},
        {{"", "memo"}, "(DOCUMENT : memo) N\n"},
        {{"b)\xc3\xa9", ""}, "(JOB OWNER : b\\)\\351) N\n/bigname (b\\)\\351) def\n"},
    };
    for (const auto& [claims, lines] : cases) {
        SCOPED_TRACE(lines);
        std::rewind(spool.device);
        ASSERT_EQ(ftruncate(fileno(spool.device), 0), 0);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(SendRostoPS(spool, ipv4(unnamed.c_str()), unnamed.c_str(), claims), 0);
        ::testing::internal::GetCapturedStderr();
        std::string page = spooled();
        std::string start = "%!PS template\n(IP ADDRESS : " + unnamed + ") N\n(DATE : ";
        EXPECT_TRUE(page.starts_with(start)) << page;
        EXPECT_TRUE(page.ends_with(") N\n" + lines + kTrailer)) << page;
    }
}

TEST_F(PostScriptPage, ValuesCannotBreakOutOfTheirStrings) {
    listClients("127.0.0.1 R(2)\\ )quit(\n");
    SendRostoPS(spool, ipv4("127.0.0.1"), "127.0.0.1", {});
    std::string page = spooled();
    EXPECT_NE(page.find("(OFFICE : R\\(2\\)\\\\) N\n(PHONE : \\)quit\\() N\n"), std::string::npos)
        << page;
}

TEST_F(PostScriptPage, TemplateGoesOutInPiecesOf1400Bytes) {
    std::string tmpl;
    for (int i = 0; tmpl.size() < 3000; ++i)
        tmpl += "% line " + std::to_string(i) + "\n";
    tmpl.resize(3000);
    writeFile(conf.template_name, tmpl);

    auto pieces =
        collectPieces([](PageOutput& fd) { SendRostoPS(fd, ipv4("127.0.0.1"), "127.0.0.1", {}); });
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[0].size(), 1400u);
    EXPECT_EQ(pieces[1].size(), 1400u);
    EXPECT_EQ(pieces[2].size(), 200u);
    EXPECT_EQ(pieces[0] + pieces[1] + pieces[2], tmpl);
    EXPECT_EQ(pieces[3].rfind("(IP ADDRESS : 127.0.0.1) N\n", 0), 0u);
    EXPECT_EQ(pieces[3].substr(pieces[3].size() - kTrailer.size()), kTrailer);
}

TEST_F(PostScriptPage, TemplateOfWholePiecesEndsItsCopyThere) {
    std::string tmpl(2800, 'x');
    writeFile(conf.template_name, tmpl);
    auto pieces =
        collectPieces([](PageOutput& fd) { SendRostoPS(fd, ipv4("127.0.0.1"), "127.0.0.1", {}); });
    // The closing piece is empty, and nothing empty travels on a socket.
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0] + pieces[1], tmpl);
    EXPECT_EQ(pieces[2].rfind("(IP ADDRESS : ", 0), 0u);
}

TEST_F(PostScriptPage, TemplateIsCopiedByteForByte) {
    const char raw[] = "%!PS\n\0\xFF\r\n(binary) \0 rest\n";
    std::string tmpl(raw, sizeof raw - 1);
    writeFile(conf.template_name, tmpl);
    SendRostoPS(spool, ipv4("127.0.0.1"), "127.0.0.1", {});
    EXPECT_EQ(spooled().substr(0, tmpl.size()), tmpl);
}

TEST_F(PostScriptPage, EmptyTemplateGivesLinesAndTrailerOnly) {
    writeFile(conf.template_name, "");
    SendRostoPS(spool, ipv4("127.0.0.1"), "127.0.0.1", {});
    std::string page = spooled();
    EXPECT_EQ(page.rfind("(IP ADDRESS : 127.0.0.1) N\n", 0), 0u) << page;
    EXPECT_EQ(page.back(), '\xFF');
}

TEST_F(PostScriptPage, UnreadableTemplateIsReportedAndPageCompleted) {
    conf.template_name = dir.path();
    ::testing::internal::CaptureStderr();
    int rc = SendRostoPS(spool, ipv4("127.0.0.1"), "127.0.0.1", {});
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(err.rfind("SendRostoPS/fread: Failure reading template .ps file: ", 0), 0u) << err;
    std::string page = spooled();
    EXPECT_EQ(page.rfind("(IP ADDRESS : 127.0.0.1) N\n", 0), 0u) << page;
    EXPECT_EQ(page.substr(page.size() - kTrailer.size()), kTrailer);
}

// The daemon ends when the template is gone for good; a shortage of
// descriptors costs only the job.
TEST_F(PostScriptPage, MissingTemplateFailsThePageAndIsLogged) {
    for (const std::string& name : {dir.file("absent.ps"), conf.template_name + "\r"}) {
        SCOPED_TRACE(name);
        conf.template_name = name;
        spool.template_unreadable = false;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(SendRostoPS(spool, ipv4("127.0.0.1"), "127.0.0.1", {}), 1);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("SendRostoPS/fopen: Failure openning template .ps file: ", 0), 0u)
            << err;
        EXPECT_TRUE(spool.template_unreadable);
        EXPECT_NE(logged().find("msg=[Failure sending Face Page]"), std::string::npos);
        EXPECT_EQ(logged().find("Success"), std::string::npos);
    }
}

TEST_F(PostScriptPage, SocketGetsTheSameBytesAsTheSpool) {
    listClients("127.0.0.1 LAB-1 5550100\n");
    auto pieces =
        collectPieces([](PageOutput& fd) { SendRostoPS(fd, ipv4("127.0.0.1"), "127.0.0.1", {}); });
    SendRostoPS(spool, ipv4("127.0.0.1"), "127.0.0.1", {});
    std::string file = spooled();
    std::string sock = joined(pieces);
    // The two pages differ at most in the date stamp's seconds.
    std::regex stamp("\\(DATE : [^)]*\\)");
    EXPECT_EQ(std::regex_replace(sock, stamp, "(DATE)"), std::regex_replace(file, stamp, "(DATE)"));
    EXPECT_EQ(sock.back(), '\xFF');
}

TEST_F(PostScriptPage, PeerThatHasGoneFailsThePageWithoutEndingTheProcess) {
    PageOutput gone = goneSocket();
    EXPECT_EQ(SendRostoPS(gone, ipv4("127.0.0.1"), "127.0.0.1", {}), 1);
    close(gone.socket);
    EXPECT_FALSE(gone.whole);
    EXPECT_NE(logged().find("msg=[Failure sending Face Page]"), std::string::npos) << logged();
}

TEST_F(PostScriptPage, ResultIsTheLogResult) {
    conf.logfile_path = dir.file("missing/tindrel.log");
    ::testing::internal::CaptureStderr();
    int rc = SendRostoPS(spool, ipv4("127.0.0.1"), "127.0.0.1", {});
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(spooled().back(), '\xFF');
}

TEST_F(PostScriptPage, VerboseSendersNameTheTemplate) {
    verbose = 1;
    for (auto [sender, line] : {std::pair{&SendRostoPS, "SendRosto: cof.template_name=["},
                                {&SendRostoTXT, "SendRostoTXT: conf.template_name=["}}) {
        ::testing::internal::CaptureStdout();
        sender(spool, ipv4("127.0.0.1"), "127.0.0.1", {});
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_TRUE(out.starts_with(line + conf.template_name + "]\n")) << out;
    }
}

class SpoolOutput : public facepagetest::SenderTest {};

TEST_F(SpoolOutput, PieceIsFlushedAtOnce) {
    EXPECT_EQ(sendPiece(spool, "first piece"), 0);
    EXPECT_EQ(spooled(), "first piece");
}

TEST_F(SpoolOutput, NothingGoesOutAfterAFailedPiece) {
    PageOutput gone = goneSocket();
    EXPECT_EQ(sendPiece(gone, "x"), 1);
    close(gone.socket);
    PageOutput none;
    EXPECT_EQ(sendPiece(none, "x"), 1);
    spool.whole = false;
    EXPECT_EQ(sendPiece(spool, "later piece"), 1);
    EXPECT_EQ(spooled(), "");
}

} // namespace
