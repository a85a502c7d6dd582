// Runs the shipped PostScript face page, followed by a job, through
// Ghostscript: the banner must print as its own page, show every value,
// leave the interpreter in a state where the job still prints, and spare
// toner, since it comes before every job.
#include "capture.h"
#include "facepage/facepage.h"
#include "settings/settings.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <regex>
#include <sstream>

using facepagetest::ipv4;
using testsupport::run;
using testsupport::RunResult;
using testsupport::writeFile;

namespace {

constexpr const char* kJob =
    "%!PS\n/Helvetica findfont 20 scalefont setfont 72 700 moveto (JOB PAGE) show showpage\n";

std::string withoutSpace(std::string text) {
    text.erase(std::remove_if(text.begin(), text.end(),
                              [](unsigned char c) { return std::isspace(c) != 0; }),
               text.end());
    return text;
}

class GhostscriptRendering : public facepagetest::SenderTest {
protected:
    void SetUp() override {
        gs = testsupport::findProgram("gs");
        if (gs.empty())
            GTEST_SKIP() << "gs is not installed";
        SenderTest::SetUp();
        conf.template_name = std::string(TINDREL_SOURCE_DIR) + "/share/tindrel.ps";
    }

    // The face page for the client, then the job, as one print stream.
    std::string printStream(const char* ip, const PageClaims& claims = {}) {
        EXPECT_EQ(SendRostoPS(spool, ipv4(ip), ip, claims), 0);
        std::string path = dir.file("stream.ps");
        writeFile(path, spooled() + kJob);
        return path;
    }

    RunResult render(const std::string& device, const std::string& path) {
        return run({gs, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=" + device,
                    "-sOutputFile=-", path},
                   60000);
    }

    // Pages printed, counted by the bounding box device (one box per page).
    int pageCount(const std::string& path) {
        RunResult r = render("bbox", path);
        EXPECT_EQ(r.status, 0) << r.err;
        std::regex box("%%BoundingBox:");
        std::string all = r.out + r.err;
        return static_cast<int>(std::distance(std::sregex_iterator(all.begin(), all.end(), box),
                                              std::sregex_iterator()));
    }

    void expectClean(const RunResult& r) {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ((r.out + r.err).find("Error"), std::string::npos) << r.out << r.err;
    }

    std::string gs;
};

TEST_F(GhostscriptRendering, BannerShowsEveryValueWithTheOwnerLargeAndTheJobStillPrints) {
    std::string host = hostNameOf(ipv4("127.0.0.1"));
    ASSERT_FALSE(host.empty()) << "127.0.0.1 has no host name on this machine";
    listClients("127.0.0.1 LAB-1 5550100\n");
    std::string path = printStream("127.0.0.1", {"wiwang", "Quarterly report"});
    std::string stamp = spooled().substr(spooled().find("(DATE : ") + 8, 19);

    RunResult text = render("txtwrite", path);
    expectClean(text);
    std::string shown = withoutSpace(text.out);
    for (const std::string& value :
         {std::string("127.0.0.1"), host, stamp, std::string("LAB-1"), std::string("5550100"),
          std::string("Quarterly report"), std::string("JOB PAGE")})
        EXPECT_NE(shown.find(withoutSpace(value)), std::string::npos) << value << " in\n"
                                                                      << text.out;
    // The owner in its row and again large, in place of the address.
    EXPECT_EQ(testsupport::countOccurrences(shown, "wiwang"), 2u) << text.out;
    EXPECT_EQ(testsupport::countOccurrences(shown, "127.0.0.1"), 1u) << text.out;
    EXPECT_EQ(pageCount(path), 2);
}

TEST_F(GhostscriptRendering, UnnamedClientWithAwkwardValuesStillPrintsTwoPages) {
    std::string unnamed = facepagetest::unnamedLoopback();
    if (unnamed.empty())
        GTEST_SKIP() << "every candidate loopback address has a host name here";
    listClients(unnamed + " R)(2\\ )quit(\n");
    ::testing::internal::CaptureStderr();
    std::string path = printStream(unnamed.c_str());
    ::testing::internal::GetCapturedStderr();

    RunResult text = render("txtwrite", path);
    expectClean(text);
    std::string shown = withoutSpace(text.out);
    for (const char* value : {"R)(2\\", ")quit(", "JOBPAGE"})
        EXPECT_NE(shown.find(value), std::string::npos) << value << " in\n" << text.out;
    EXPECT_EQ(pageCount(path), 2);
}

// Ink of the first page, per colour, as Ghostscript's inkcov device measures
// it: the share of pixels that get any of that colour. A text page is about
// 5 %.
TEST_F(GhostscriptRendering, EveryLineFilledCoversAtMostThreePercentPerColour) {
    listClients("127.0.0.1 B-214-EAST 5550152\n");
    std::string path = printStream(
        "127.0.0.1", {"Maximilian Wolkenstein-Oberhausen",
                      "Quarterly report of the northern region, final version with annexes.pdf"});
    RunResult r = run({gs, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dLastPage=1",
                       "-sDEVICE=inkcov", "-sOutputFile=-", path},
                      60000);
    expectClean(r);
    std::istringstream figures(r.out);
    double cmyk[4] = {-1, -1, -1, -1};
    figures >> cmyk[0] >> cmyk[1] >> cmyk[2] >> cmyk[3];
    for (double share : cmyk) {
        EXPECT_GE(share, 0) << r.out;
        EXPECT_LE(share, 0.03) << r.out;
    }
    // The figures were read, from a page that is not blank.
    EXPECT_GT(cmyk[3], 0.01) << r.out;
}

// A template written from the README's list of what the trailer ends, and
// nothing more.
TEST_F(GhostscriptRendering, TemplateWrittenFromTheDocumentedRulesPrintsTwoPages) {
    conf.template_name = dir.file("own.ps");
    writeFile(conf.template_name, "%!PS\n"
                                  "userdict (\\377) cvn {} put\n"
                                  "/outer 10 dict def\n"
                                  "outer begin\n"
                                  "/N { 72 y moveto show /y y 20 sub def } def\n"
                                  "/border { } def\n"
                                  "/pagesave save def\n"
                                  "/inner 10 dict def\n"
                                  "inner begin\n"
                                  "/Helvetica findfont 12 scalefont setfont\n"
                                  "/y 700 def\n"
                                  "gsave\n");
    std::string path = printStream("127.0.0.1");

    RunResult text = render("txtwrite", path);
    expectClean(text);
    EXPECT_NE(withoutSpace(text.out).find("IPADDRESS:127.0.0.1"), std::string::npos) << text.out;
    EXPECT_EQ(pageCount(path), 2);
}

} // namespace
