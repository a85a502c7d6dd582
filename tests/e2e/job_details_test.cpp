// What a job says of itself reaches its face page and its accounting record,
// and the job's own bytes reach the printer unchanged.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/service_test.h"

namespace testsupport {
namespace {

class JobDetails : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        set("accounting", "accounting.jsonl");
    }

    // The printer's data of job `index` up to the job's own first byte.
    std::string pageOf(size_t index, std::string_view job) {
        std::string data = printer->connections().at(index).data;
        return data.substr(0, data.size() - job.size());
    }
};

TEST_F(JobDetails, PjlHeaderNamesOwnerAndDocumentOnThePageAndInTheRecord) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = "\x1b%-12345X@PJL JOB NAME = \"paper.pdf\"\r\n"
                            "@PJL SET USERNAME = \"wiwang\"\r\n"
                            "@PJL ENTER LANGUAGE = POSTSCRIPT\r\n"
                            "%!PS-Adobe-3.0\n%%Pages: (atend)\n%%EndComments\n" +
                            randomBytes(200 * 1024, 5) +
                            "\n%%Trailer\n%%Pages: 2\n%%EOF\n\x1b%-12345X";
    sendJob(job);
    ASSERT_TRUE(waitJobs(1));
    EXPECT_TRUE(jobOf(0) == job);
    const std::string page = pageOf(0, job);
    EXPECT_NE(page.find("(JOB OWNER : wiwang) N\n"), std::string::npos) << page;
    EXPECT_NE(page.find("(DOCUMENT : paper.pdf) N\n"), std::string::npos) << page;

    auto r = records(1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["job"], 1);
    EXPECT_EQ(r[0]["client"], "127.0.0.1");
    EXPECT_EQ(r[0]["office"], "A12");
    EXPECT_EQ(r[0]["user"], "wiwang");
    EXPECT_EQ(r[0]["document"], "paper.pdf");
    EXPECT_EQ(r[0]["pages"], 2);
    EXPECT_EQ(r[0]["language"], "postscript");
    EXPECT_EQ(r[0]["received"], job.size());
    EXPECT_EQ(r[0]["delivered"], job.size());
    EXPECT_EQ(r[0]["to"], "127.0.0.1:" + std::to_string(printer->port()));
    EXPECT_EQ(r[0]["face_page"], true);
    EXPECT_EQ(r[0]["outcome"], "delivered");
}

// A job without a header keeps today's page, and its record says so.
TEST_F(JobDetails, PlainJobKeepsThePageAndHasNoClaims) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = randomBytes(5000, 6);
    sendJob(job);
    ASSERT_TRUE(waitJobs(1));
    EXPECT_EQ(pageOf(0, job).find("JOB OWNER"), std::string::npos);
    auto r = records(1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0]["user"].is_null());
    EXPECT_TRUE(r[0]["pages"].is_null());
    EXPECT_TRUE(r[0]["language"].is_null());
}

// The face page waits for the start of the job only as long as the silence
// bound; the job sent after it still follows it whole.
// A job that has started and falls silent in its header gets its face page
// after the silence bound, long before the idle time.
TEST_F(JobDetails, StartedJobGetsItsFacePageAfterTheSilenceBound) {
    set("idletime", "20");
    ASSERT_NO_FATAL_FAILURE(start());
    Client client(port);
    ASSERT_TRUE(client.send("%!PS-Adobe-3.0\n"));
    EXPECT_TRUE(waitUntil(
        [&] {
            return printer->receiving().find("(IP ADDRESS : 127.0.0.1) N") != std::string::npos;
        },
        6));
    ASSERT_TRUE(client.send("late job"));
    client.shutdownWrite();
    EXPECT_TRUE(client.readToEnd());
    ASSERT_TRUE(waitJobs(1));
    EXPECT_EQ(jobOf(0), "%!PS-Adobe-3.0\nlate job");
}

TEST_F(JobDetails, LostJobsHaveTheirOutcomeInTheRecord) {
    usePrinter({.listen = false});
    set("idletime", "1");
    set("retry-printer", "30");
    ASSERT_NO_FATAL_FAILURE(start());
    {
        Client client(port);
        ASSERT_TRUE(client.send("given up"));
        ASSERT_TRUE(daemon->waitOut("Trying printer: 0"));
        client.reset();
    }
    ASSERT_TRUE(log.waitFor("msg=[Client gave up while the printer was unreachable]", 1, 5));
    auto r = records(1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["outcome"], "client-gave-up");
    EXPECT_EQ(r[0]["face_page"], false);
    EXPECT_EQ(r[0]["delivered"], 0);

    // One attempt only: the printer stays unreachable and the service ends.
    set("retry-printer", "0");
    expect_running = false;
    daemon.reset();
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_TRUE(lostJobIsReset("never printed"));
    EXPECT_TRUE(log.waitFor("msg=[Unable to connect printer]"));
    r = records(2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1]["outcome"], "printer-unreachable");
    EXPECT_EQ(r[1]["job"], 2); // numbers go on after a restart
}

// A host name is a stranger's text too: the record keeps no control character of it.
TEST_F(JobDetails, HostNameIsCleanedInTheRecord) {
    TINDREL_IN_PRIVATE_NETWORK();
    useHosts("127.0.0.1 a\x1b[2Jb.test\n");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(sendJob("%!PS\n(from a host with an odd name)\n"));
    auto r = records(1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["host"], "a[2Jb.test");
}

} // namespace
} // namespace testsupport
