// Printers that misbehave during a job: reset, close early, stall behind a
// tiny receive window, answer while the job ends. Each must cost at most
// that job, and the count in the log must cover what the printer took.
#include <gtest/gtest.h>

#include "faults/faults.h"

namespace faults {
namespace {

using e2e::kFacePageEnd;
using e2e::kTinyTemplate;
using e2e::randomBytes;
using Kind = e2e::PrinterStep::Kind;

// The job bytes of a connection that may have ended early: what follows a
// whole face page. Empty when even the face page was cut.
std::string jobPart(const std::string& connection) {
    if (connection.compare(0, kTinyTemplate.size(), kTinyTemplate) != 0)
        return {};
    size_t end = connection.find(kFacePageEnd);
    return end == std::string::npos ? std::string() : connection.substr(end + kFacePageEnd.size());
}

class PrinterFaults : public FaultTest {
protected:
    // Sends a large job to a printer planned to fail part way, then checks
    // that the printer got a prefix of it, that the log counts at least that
    // prefix and nothing beyond the job, and that the next job is served.
    void runInterruptedJob(size_t job_size) {
        ASSERT_NO_FATAL_FAILURE(start());
        const std::string job = randomBytes(job_size, 11);
        {
            BoundedClient client(port, secondsFromNow(30));
            ASSERT_TRUE(client.connected());
            client.send(job); // fails once the daemon has given the job up
            std::string answer;
            EXPECT_TRUE(client.readToEnd(answer)) << "the client was never closed";
        }
        ASSERT_TRUE(waitPrinterJobs(1, secondsFromNow(30)));
        const std::string got = jobPart(printerJobs()[0]);
        EXPECT_GT(got.size(), 0u) << "the printer failed before the job started";
        EXPECT_LT(got.size(), job.size()) << "the printer was meant to fail mid-job";
        EXPECT_TRUE(job.compare(0, got.size(), got) == 0) << "the printer got bytes never sent";

        auto counts = waitCounts(1);
        ASSERT_EQ(counts.size(), 1u);
        EXPECT_GE(counts[0], static_cast<long long>(got.size()));
        EXPECT_LE(counts[0], static_cast<long long>(job.size()));
        ASSERT_NO_FATAL_FAILURE(expectStillServes(1));
    }
};

TEST_F(PrinterFaults, ResetMidJobEndsOnlyThatJob) {
    printer->plan({{Kind::ResetAfter, 256 * 1024, "", ""}});
    runInterruptedJob(4 * 1024 * 1024);
}

TEST_F(PrinterFaults, CloseWhileClientStillSendsEndsOnlyThatJob) {
    printer->plan({{Kind::CloseAfter, 128 * 1024, "", ""}});
    runInterruptedJob(4 * 1024 * 1024);
}

// The reset arrives while the face page is going out: its remaining pieces
// fail, which must neither end the daemon nor count any job bytes.
TEST_F(PrinterFaults, ResetDuringFacePageEndsOnlyThatJob) {
    printer->plan({{Kind::ResetAfter, 8, "", ""}});
    ASSERT_NO_FATAL_FAILURE(start());
    {
        BoundedClient client(port, secondsFromNow(30));
        ASSERT_TRUE(client.connected());
        std::string answer;
        EXPECT_TRUE(client.readToEnd(answer)) << "the client was never closed";
        EXPECT_EQ(answer, "");
    }
    ASSERT_TRUE(waitPrinterJobs(1, secondsFromNow(30)));
    EXPECT_EQ(printerJobs()[0], kTinyTemplate.substr(0, 8));
    auto counts = waitCounts(1);
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts[0], 0);
    ASSERT_NO_FATAL_FAILURE(expectStillServes(1));
}

// The printer reads in small pieces through a window of a few KiB and stops
// reading for longer than the idle time while the client is still sending,
// as a printer out of paper does: the relay waits for it rather than give
// the job up, and the job arrives whole.
TEST_F(PrinterFaults, StallingPrinterWithTinyWindowGetsTheWholeJob) {
    setKey(settings, "idletime", "1");
    Pacing pacing;
    pacing.read_size = 1024;
    pacing.pause = std::chrono::microseconds(200);
    pacing.stall_at = 1024 * 1024;
    pacing.stall = std::chrono::milliseconds(2500);
    usePacedPrinter(std::make_unique<PacedPrinter>(4096, pacing));
    ASSERT_NO_FATAL_FAILURE(start());

    const std::string job = randomBytes(5 * 1024 * 1024, 5);
    {
        BoundedClient client(port, secondsFromNow(90));
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send(job));
        client.shutdownWrite();
        std::string answer;
        EXPECT_TRUE(client.readToEnd(answer));
    }
    ASSERT_TRUE(waitPrinterJobs(1, secondsFromNow(90)));
    EXPECT_LE(paced->firstReceiveBuffer(), 16 * 1024) << "the window was not small";
    const std::string got = jobOf(0);
    EXPECT_EQ(got.size(), job.size());
    EXPECT_TRUE(got == job) << "the job arrived changed";
    auto counts = waitCounts(1);
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts[0], static_cast<long long>(job.size()));
    ASSERT_NO_FATAL_FAILURE(expectStillServes(1));
}

// The client half-closes after a large job; the printer then sends a long
// status and closes at once. All of the status reaches the client.
TEST_F(PrinterFaults, AnswerSentAsTheJobEndsReachesTheClient) {
    std::string status;
    for (int line = 0; status.size() < 256 * 1024; ++line)
        status +=
            "@PJL USTATUS JOB\r\nEND\r\nNAME=\"job\"\r\nPAGES=" + std::to_string(line) + "\r\n";
    printer->plan({{Kind::AnswerAtEnd, 0, status, ""}});
    ASSERT_NO_FATAL_FAILURE(start());

    const std::string job = randomBytes(1024 * 1024, 6);
    std::string answer;
    {
        BoundedClient client(port, secondsFromNow(60));
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send(job));
        client.shutdownWrite();
        EXPECT_TRUE(client.readToEnd(answer));
    }
    EXPECT_EQ(answer.size(), status.size());
    EXPECT_TRUE(answer == status) << "the status arrived changed";
    ASSERT_TRUE(waitPrinterJobs(1, secondsFromNow(30)));
    EXPECT_TRUE(jobOf(0) == job) << "the job arrived changed";
    auto counts = waitCounts(1);
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts[0], static_cast<long long>(job.size()));
    ASSERT_NO_FATAL_FAILURE(expectStillServes(1));
}

} // namespace
} // namespace faults
