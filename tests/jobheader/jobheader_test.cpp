#include "jobheader/jobheader.h"
#include "joblog/joblog.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace {

using namespace std::string_literals;

const std::string kUel = "\x1b%-12345X";

struct HeaderCase {
    const char* name;
    std::string job;
    std::string ends_after; // the header has ended once the bytes up to the end of this are in
    std::optional<std::string> user;
    std::optional<std::string> document;
    std::optional<long> pages;
    std::optional<std::string> language;
    std::optional<long> copies = std::nullopt;
    std::string ustatus = ""; // "j", "p", "d": the job turned on USTATUS JOB, PAGE, DEVICE
};

const HeaderCase kHeaders[] = {
    {"CUPS JCL",
     kUel + "@PJL JOB NAME = \"paper.pdf\" DISPLAY = \"42 wiwang paper.pdf\"\n"
            "@PJL SET USERNAME = \"wiwang\"\n@PJL SET QTY=3\n@PJL SET COPIES=2\n"
            "@PJL USTATUS PAGE=ON\n@PJL USTATUS JOB=ON\n@PJL USTATUS DEVICE = VERBOSE\n"
            "@PJL USTATUS PAGE=OFF\n@PJL ENTER LANGUAGE = POSTSCRIPT\n"
            "%!PS-Adobe-3.0\n%%Title: paper\n%%For: (root)\n%%EndComments\n/x 1 def\n",
     "%%EndComments", "wiwang", "paper.pdf", std::nullopt, "postscript", 3, "jd"},
    {"Windows HP PJL",
     kUel +
         "@PJL JOB\r\n@PJL SET STRINGCODESET=UTF8\r\n"
         "@PJL COMMENT \"Username: J\xc3\xbcrgen; App Filename: Budget 2026.xlsx; 12-8-2026\"\r\n"
         "@PJL SET JOBATTR=\"JobAcct1=jmeier\"\r\n@PJL SET JOBATTR=\"JobAcct2=WS12\"\r\n"
         "@PJL set UserName\t=  \"j.meier\"\r\n@PJL SET COPIES=7\r\n@PJL USTATUS PAGE=ON\r\n"
         "@PJL USTATUS TIMED=30\r\n@PJL USTATUS PAGE=MAYBE\r\n"
         "@PJL ENTER LANGUAGE=POSTSCRIPT\r\n%!PS-Adobe-3.0\r\n%%Title: Budget\r\n"
         "%%Pages: 4\r\n%%Requirements: collate\r\n%%+ numcopies(4)\r\n%%EndComments\r\n",
     "%%EndComments", "j.meier", "Budget 2026.xlsx", 4, "postscript", 4, "pd"},
    {"PScript5 after Ctrl-D, copies in its setup",
     "\x04\x04%!PS-Adobe-3.0\r\n%%Title: Report\r\n%%For: ann\r\n"
     "%%Requirements: duplex numcopies(3)\r\n%%EndComments\r\n%%BeginSetup\r\n/#copies 2 "
     "def\r\n%%EndSetup\r\n"
     "%%BeginDocument: logo.eps\r\n/#copies 9 def\r\n%%EndDocument\r\n/#copies 0 def\r\n"
     "%%Page: 1 1\r\n/#copies 5 def\r\n",
     "%%EndComments", "ann", "Report", std::nullopt, "postscript", 2},
    {"PScript5 with trailer count",
     " \t%!PS-Adobe-3.0\r%%Title: Microsoft Word - Doc1\r%%Creator: PScript5.dll Version 5.2.2\r"
     "%%For: Bill\r%%BoundingBox: (atend)\r%%Pages: (atend)\r%%EndComments\r%%BeginProlog\r"
     "%%Page: 1 1\rshowpage\r%%Trailer\r%%Pages: 3\r%%EOF\r",
     "%%EndComments", "Bill", "Microsoft Word - Doc1", 3, "postscript"},
    {"Ricoh before PCL XL",
     kUel + "@PJL SET USERID=\"jdoe\"\r\n@PJL SET HOSTLOGINNAME=\"other\"\r\n"
            "@PJL SET JOBNAME=\"Invoice 7\"\r\n@PJL SET QTY=10000\r\n@PJL SET COPIES=2\r\n"
            "@PJL USTATUS JOB=ON\r\n@PJL USTATUSOFF\r\n@PJL ENTER LANGUAGE=PCLXL\r\n"
            ") HP-PCL XL;2;0\r\n\x00\xc0\x41"s,
     "\r\n)", "jdoe", "Invoice 7", std::nullopt, "pcl-xl", 2},
    {"embedded EPS with its own trailer",
     "%!PS-Adobe-3.0\n%%Title: (Poster \\(final\\) \\303\\251 \\\\ (v2))\n%%For: (ann)\n"
     "%%Pages: (atend)\n%%EndComments\n%%Page: 1 1\n%%BeginDocument: logo.eps\n"
     "%!PS-Adobe-3.0 EPSF-3.0\n%%Pages: 1\n%%EndComments\n%%Trailer\n%%Pages: 9\n"
     "%%EndDocument\nshowpage\n%%Trailer\n%%Pages: 2\n%%EOF\n",
     "%%EndComments", "ann", "Poster (final) \xc3\xa9 \\ (v2)", 2, "postscript"},
    {"embedded EPS, job trailer without a count",
     "%!PS-Adobe-3.0\n%%Pages: (atend)\n%%EndComments\n%%BeginDocument: a.eps\n"
     "%%Pages: 1\n%%BeginDocument: b.eps\n%%Pages: 5\n%%EndDocument\n%%Pages: 6\n"
     "%%EndDocument\n%%Trailer\n%%EOF\n",
     "%%EndComments", std::nullopt, std::nullopt, std::nullopt, "postscript"},
};

// Each header whole and one byte at a time, as a client may send it: the
// end is found at the same byte, and what was read by then gives the fields.
TEST(JobHeaderTable, RealHeadersWholeAndByteByByte) {
    for (const HeaderCase& c : kHeaders) {
        SCOPED_TRACE(c.name);
        size_t end = c.job.find(c.ends_after);
        ASSERT_NE(end, std::string::npos);
        end += c.ends_after.size();
        EXPECT_TRUE(headerEnded(c.job));
        PagesScanner whole;
        scanPages(whole, c.job);
        PagesScanner split;
        size_t ended_at = 0;
        for (size_t n = 1; n <= c.job.size(); ++n) {
            scanPages(split, std::string_view(c.job).substr(n - 1, 1));
            if (!ended_at && headerEnded(std::string_view(c.job).substr(0, n)))
                ended_at = n;
        }
        EXPECT_EQ(ended_at, end);
        JobHeader h = parseJobHeader(std::string_view(c.job).substr(0, ended_at));
        EXPECT_EQ(h.user, c.user);
        EXPECT_EQ(h.document, c.document);
        EXPECT_EQ(h.language, c.language);
        EXPECT_EQ(jobPages(h, whole), c.pages);
        EXPECT_EQ(jobPages(h, split), c.pages);
        EXPECT_EQ(jobCopies(h, whole), c.copies);
        EXPECT_EQ(jobCopies(h, split), c.copies);
        EXPECT_EQ(parseJobHeader(c.job).copies, c.copies);
        EXPECT_EQ(std::string(h.ustatus_job ? "j" : "") + (h.ustatus_page ? "p" : "") +
                      (h.ustatus_device ? "d" : ""),
                  c.ustatus);
    }
}

// Values are strangers' bytes: what reaches the page and the record is clean
// whatever they hold, and the record stays one JSON line.
TEST(JobHeaderValues, HostileValuesReachNeitherPageNorRecordRaw) {
    std::string big(10 * 1024, 'x');
    std::string job = kUel + "@PJL SET USERNAME=\"a\x1b" + kUel.substr(1) + "\x00\x01\x7f)b\xff"s +
                      big + "\"\r\n@PJL ENTER LANGUAGE=POSTSCRIPT\r\n%!PS\r\n" +
                      "%%Title: (r\\033%-12345X\\r\\nshowpage\\000\\) \\302\\205\\303\\251t" +
                      "\\303\\251 \\342\\202\\254)\r\n%%EndComments\r\n";
    JobHeader h = parseJobHeader(job);
    ASSERT_TRUE(h.user && h.document);

    // Not UTF-8, so read as Latin-1.
    EXPECT_EQ(pageForm(*h.user), "a%-12345X)b\xff" + big.substr(0, 68));
    EXPECT_EQ(recordForm(*h.user), "a%-12345X)b\xc3\xbf" + big.substr(0, 244));
    // UTF-8, with a character Latin-1 cannot hold.
    EXPECT_EQ(recordForm(*h.document), "r%-12345X  showpage) \xc3\xa9t\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(pageForm(*h.document), "r%-12345X  showpage) \xe9t\xe9 ?");

    JobRecord r;
    r.user = recordForm(*h.user);
    r.document = std::string("raw \xff\xfe\n\"}") + "\xe2\x82"; // uncleaned, as a last guard
    std::string line = recordLine(r);
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_TRUE(validUtf8(line));
    nlohmann::json back = nlohmann::json::parse(line);
    EXPECT_EQ(back["user"], *r.user);
    EXPECT_EQ(back["document"], "raw \xef\xbf\xbd\xef\xbf\xbd\n\"}\xef\xbf\xbd");
}

} // namespace
