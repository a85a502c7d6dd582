// Real print software as the daemon's clients: the CUPS "socket" backend
// (the one CUPS uses for JetDirect printers), run alone and by a private CUPS
// scheduler, and netcat. The daemon relays to a fake printer; what the
// printer receives must be the shipped face page followed by the job, byte
// for byte, and Ghostscript must render it as two pages: the banner and the
// job's page.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <iostream>
#include <memory>

#include "package/package.h"
#include "support/cups.h"

namespace {

constexpr std::string_view kJob = "%!PS-Adobe-3.0\n"
                                  "%%Pages: 1\n"
                                  "%%EndComments\n"
                                  "/Helvetica findfont 24 scalefont setfont\n"
                                  "72 700 moveto (TINDREL PACKAGE JOB) show\n"
                                  "showpage\n"
                                  "%%EOF\n";

// CUPS's PostScript filter: unpacked by scripts/fetch-cups-backend.sh, or installed.
std::string cupsPostScriptFilter() {
    for (const char* candidate : {"/var/cache/tindrel-test/cups-filters/usr/lib/cups/filter/pstops",
                                  "/usr/lib/cups/filter/pstops"}) {
        if (pkg::isExecutableFile(candidate))
            return candidate;
    }
    return "";
}

std::string runUserLine() {
    return testsupport::runningAsRoot() ? "user = nobody\n" : "";
}

class PrintClients : public ::testing::Test {
protected:
    void SetUp() override {
        face_template = testsupport::readFile(pkg::sourceFile("share/tindrel.ps"));
        ASSERT_FALSE(face_template.empty());
        // The shipped template, named relative to the working directory as
        // in the sample configuration.
        dir.write("tindrel.ps", face_template);
        dir.write("tindrel.db", "127.0.0.1 B-214 5512\n");
        job_file = dir.write("job.ps", kJob);

        // Started by root the daemon switches to this user; otherwise it stays the test's user.
        std::string settings =
            runUserLine() + "working-dir = " + dir.path() +
            "\ntemplate-name = tindrel.ps\ntemplate-type = ps\n"
            "logfile = tindrel.log\nip-location = tindrel.db\n"
            "proxy-ip = 127.0.0.1\nprinter-ip = 127.0.0.1\nprinter-port = " +
            std::to_string(printer.port()) +
            "\nidletime = 10\nretry-printer = 0\naccounting = accounting.jsonl\n" + more_settings;

        // Another program may take the chosen port before the daemon binds it.
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = testsupport::freePort();
            std::string conf =
                dir.write("tindrel.conf", settings + "proxy-port = " + std::to_string(port) + "\n");
            daemon = std::make_unique<testsupport::Daemon>(
                std::vector<std::string>{"-v", "-C", conf, "-d"});
            if (daemon->waitOut("waiting for requests", 10))
                return;
            daemon->waitExit(2);
            if (daemon->err().find("bind") == std::string::npos)
                break;
        }
        FAIL() << "the daemon did not start\nstdout:\n"
               << daemon->out() << "\nstderr:\n"
               << daemon->err();
    }

    void TearDown() override {
        if (daemon) {
            EXPECT_TRUE(daemon->running()) << "the daemon ended\nstdout:\n"
                                           << daemon->out() << "\nstderr:\n"
                                           << daemon->err();
        }
        daemon.reset(); // killed and reaped
    }

    // What the printer received for the one job, checked to be the face page and then the job.
    std::string receivedJob() {
        EXPECT_TRUE(printer.waitConnections(1, 30));
        std::vector<std::string> jobs;
        for (const auto& connection : printer.connections())
            jobs.push_back(connection.data);
        if (jobs.size() != 1) {
            ADD_FAILURE() << jobs.size() << " printer connections";
            return "";
        }
        auto parts = testsupport::splitFacePages(jobs[0], face_template);
        if (!parts || parts->size() != 1) {
            ADD_FAILURE() << "not one face page and one job:\n" << jobs[0].substr(0, 200);
            return jobs[0];
        }
        EXPECT_EQ((*parts)[0].job, kJob);
        EXPECT_NE((*parts)[0].page.find("(IP ADDRESS : 127.0.0.1) N\n"), std::string::npos);
        EXPECT_NE((*parts)[0].page.find("(OFFICE : B-214) N\n(PHONE : 5512) N\n"),
                  std::string::npos);
        std::string total = ": Sent bytes =[" + std::to_string(kJob.size()) + "]";
        EXPECT_TRUE(testsupport::JobLog(dir.file("tindrel.log")).waitFor(total, 1, 10))
            << dir.read("tindrel.log");
        return jobs[0];
    }

    std::string more_settings; // set before SetUp
    testsupport::TempDir dir;
    testsupport::FakePrinter printer;
    std::unique_ptr<testsupport::Daemon> daemon;
    std::string face_template;
    std::string job_file;
    uint16_t port = 0;
};

// argv of a CUPS backend: job id, user, title, copies, options, file.
TEST_F(PrintClients, CupsSocketBackendJobFollowsTheFacePage) {
    std::string backend = testsupport::cupsSocketBackend();
    if (backend.empty())
        GTEST_SKIP() << "no CUPS socket backend; scripts/fetch-cups-backend.sh unpacks one";
    // CUPS hands a backend its back channel as descriptor 3 and its side
    // channel as 4; descriptors inherited there would be taken for them (and
    // the print file, opened as 4, read as side-channel requests).
    testsupport::RunResult sent =
        testsupport::run({"/bin/sh", "-c", "exec \"$@\" 3<&- 4<&-", "sh", "/usr/bin/env",
                          "DEVICE_URI=socket://127.0.0.1:" + std::to_string(port), backend, "1",
                          "tester", "package test", "1", "", job_file},
                         60000);
    EXPECT_FALSE(sent.timed_out);
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_NE(sent.err.find("INFO: Print file sent."), std::string::npos) << sent.err;
    receivedJob();
}

// The filter names the job's owner and title in its header and leaves the
// page count to its trailer; all three reach the face page and the record.
TEST_F(PrintClients, CupsFilterOwnerAndTitleReachThePageAndTheRecord) {
    std::string pstops = cupsPostScriptFilter();
    if (pstops.empty())
        GTEST_SKIP() << "no CUPS pstops filter; scripts/fetch-cups-backend.sh unpacks one";
    std::string document = "%!PS-Adobe-3.0\n%%Pages: 3\n%%EndComments\n";
    for (int page = 1; page <= 3; ++page)
        document += "%%Page: " + std::to_string(page) + " " + std::to_string(page) + "\nshowpage\n";
    testsupport::RunResult filtered = testsupport::run(
        {"/usr/bin/env", "PPD=", pstops, "42", "wiwang", "Quarterly report \u00e9.pdf", "1", "",
         dir.write("document.ps", document + "%%EOF\n")},
        60000);
    ASSERT_EQ(filtered.status, 0) << filtered.err;
    const std::string& job = filtered.out;
    {
        testsupport::Client client(port, 5);
        ASSERT_TRUE(client.send(job));
        client.shutdownWrite();
        ASSERT_TRUE(client.readToEnd(30));
    }
    ASSERT_TRUE(printer.waitConnections(1, 30));
    const std::string data = printer.connections()[0].data;
    ASSERT_TRUE(data.ends_with(job));
    const std::string page = data.substr(0, data.size() - job.size());
    EXPECT_NE(page.find("(JOB OWNER : wiwang) N\n"), std::string::npos) << page;
    EXPECT_NE(page.find("(DOCUMENT : Quarterly report \\351.pdf) N\n"), std::string::npos) << page;

    // The record follows the job's log lines.
    testsupport::waitUntil([&] { return !dir.read("accounting.jsonl").empty(); }, 10);
    auto record = nlohmann::json::parse(dir.read("accounting.jsonl"));
    EXPECT_EQ(record["user"], "wiwang");
    EXPECT_EQ(record["document"], "Quarterly report \u00e9.pdf");
    EXPECT_EQ(record["pages"], 3);
    EXPECT_EQ(record["language"], "postscript");
}

// A private CUPS scheduler whose raw queue sends to the daemon through the
// socket backend, which waits for the daemon to end the connection.
class PrivateCupsQueue : public PrintClients {
protected:
    void SetUp() override {
        if (std::string why = testsupport::PrivateCups::unavailable(); !why.empty())
            GTEST_SKIP() << why;
        PrintClients::SetUp();
        cups = std::make_unique<testsupport::PrivateCups>();
        ASSERT_TRUE(cups->started()) << cups->errorLog();
        ASSERT_TRUE(cups->addRawQueue("tindrel", "socket://127.0.0.1:" + std::to_string(port)))
            << cups->errorLog();
    }
    void TearDown() override {
        if (HasFailure() && cups)
            std::cout << "cupsd error_log:\n" << cups->errorLog();
        cups.reset();
        PrintClients::TearDown();
    }
    std::unique_ptr<testsupport::PrivateCups> cups;
};

TEST_F(PrivateCupsQueue, JobFollowsTheFacePageAndCompletes) {
    int job = cups->submit("tindrel", job_file);
    ASSERT_GT(job, 0);
    receivedJob();
    EXPECT_TRUE(cups->waitJobState(job, "completed"));
}

// With printer-status pjl the daemon ends the client's connection only at
// the printer's word that the job came out, so CUPS reports it completed
// only then, not when the bytes have gone.
class PrivateCupsPjlQueue : public PrivateCupsQueue {
protected:
    void SetUp() override {
        more_settings = "printer-status = pjl\n";
        PrivateCupsQueue::SetUp();
    }
};

TEST_F(PrivateCupsPjlQueue, CompletedOnlyAfterThePrintersEnd) {
    printer.speakPjl({.job = {.delay = std::chrono::milliseconds(3000)}});
    int job = cups->submit("tindrel", job_file);
    ASSERT_GT(job, 0);
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            return printer.receiving().find("@PJL EOJ NAME=\"tindrel 1\"") != std::string::npos;
        },
        30));
    EXPECT_FALSE(cups->waitJobState(job, "completed", 2));
    EXPECT_EQ(cups->jobState(job), "processing");
    EXPECT_TRUE(cups->waitJobState(job, "completed"));
    EXPECT_NE(dir.read("accounting.jsonl").find("\"printer_result\":\"OK\""), std::string::npos);
}

TEST_F(PrintClients, NetcatJobFollowsTheFacePage) {
    std::string nc = pkg::findProgram("nc");
    if (nc.empty())
        GTEST_SKIP() << "netcat is not installed";
    // -N ends the sending side at the end of the file, which ends the job.
    testsupport::RunResult sent =
        testsupport::run({"/bin/sh", "-c", "exec \"$0\" -N 127.0.0.1 \"$1\" < \"$2\"", nc,
                          std::to_string(port), job_file},
                         60000);
    EXPECT_FALSE(sent.timed_out);
    EXPECT_EQ(sent.status, 0) << sent.err;
    receivedJob();
}

// The printer's data read as one PostScript stream gives the banner page
// (address, office, phone) and then the job's page, and nothing else.
TEST_F(PrintClients, GhostscriptRendersBannerPageThenJobPage) {
    std::string gs = pkg::findProgram("gs");
    if (gs.empty())
        GTEST_SKIP() << "Ghostscript is not installed";
    {
        testsupport::Client client(port, 5);
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send(kJob));
        client.shutdownWrite();
        ASSERT_TRUE(client.readToEnd(30));
    }
    std::string printed = receivedJob();
    ASSERT_FALSE(printed.empty());
    std::string printed_file = dir.write("printed.ps", printed);

    testsupport::RunResult r =
        testsupport::run({gs, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=txtwrite",
                          "-sOutputFile=" + dir.file("page-%d.txt"), printed_file},
                         60000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    std::string banner = dir.read("page-1.txt");
    std::string job_page = dir.read("page-2.txt");
    EXPECT_NE(banner.find("127.0.0.1"), std::string::npos) << banner;
    EXPECT_NE(banner.find("B-214"), std::string::npos) << banner;
    EXPECT_NE(banner.find("5512"), std::string::npos) << banner;
    EXPECT_EQ(banner.find("TINDREL PACKAGE JOB"), std::string::npos) << banner;
    EXPECT_NE(job_page.find("TINDREL PACKAGE JOB"), std::string::npos) << job_page;
    EXPECT_FALSE(std::filesystem::exists(dir.file("page-3.txt"))) << dir.read("page-3.txt");
}

} // namespace
