// Printers that misbehave during a job: reset or close part way, stall
// behind a tiny receive window, or reset while the daemon is stopped. Each
// must cost at most that job, and the log must count what the printer took.
#include <gtest/gtest.h>

#include <csignal>

#include "support/service_test.h"

namespace testsupport {
namespace {

// The job bytes of a connection that may have ended early: what follows a
// whole face page. Empty when even the face page was cut.
std::string jobPart(const std::string& data) {
    size_t end = data.find(kFacePageEnd);
    if (!data.starts_with(kTinyTemplate) || end == std::string::npos)
        return {};
    return data.substr(end + kFacePageEnd.size());
}

class PrinterFaults : public ServiceTest {};

struct Interruption {
    const char* name;
    PrinterScript script;
};

class InterruptedJob : public PrinterFaults, public ::testing::WithParamInterface<Interruption> {};

// The printer got a prefix of the job, the log counts at least that and
// nothing beyond the job, and the next job is served.
TEST_P(InterruptedJob, EndsOnlyThatJob) {
    printer->plan({GetParam().script});
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = randomBytes(4 * 1024 * 1024, 11);
    {
        Client client(port);
        client.send(job); // fails once the daemon has given the job up
        EXPECT_TRUE(client.readToEnd()) << "the client was never closed";
    }
    ASSERT_TRUE(waitJobs(1));
    const std::string got = jobPart(printer->connections()[0].data);
    EXPECT_GT(got.size(), 0u) << "the printer failed before the job started";
    EXPECT_LT(got.size(), job.size()) << "the printer was meant to fail mid-job";
    EXPECT_TRUE(job.starts_with(got)) << "the printer got bytes never sent";
    auto counts = log.waitCounts(1);
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_GE(counts[0], static_cast<long long>(got.size()));
    EXPECT_LE(counts[0], static_cast<long long>(job.size()));
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

INSTANTIATE_TEST_SUITE_P(
    Printer, InterruptedJob,
    ::testing::Values(Interruption{"ResetMidJob", {.after = 256 * 1024, .reset = true}},
                      Interruption{"CloseWhileClientSends", {.after = 128 * 1024, .close = true}}),
    [](const auto& p) { return std::string(p.param.name); });

// The printer has reset while the daemon was stopped and the client's next
// piece waits: that piece's send fails and must not be counted.
TEST_F(PrinterFaults, PieceThePrinterRefusedIsNotCounted) {
    ASSERT_NO_FATAL_FAILURE(start());
    Client client(port);
    ASSERT_TRUE(client.send("taken by the printer"));
    ASSERT_TRUE(
        waitUntil([&] { return printer->receiving().ends_with("taken by the printer"); }, 15));
    daemon->signal(SIGSTOP);
    ASSERT_TRUE(waitUntil([&] { return statusState(daemon->pid()) == 'T'; }, 15));
    ASSERT_TRUE(client.send("refused by the printer"));
    printer->resetNow();
    ASSERT_TRUE(waitJobs(1));
    daemon->signal(SIGCONT);
    EXPECT_TRUE(client.readToEnd());
    EXPECT_EQ(log.waitCounts(1), std::vector<long long>{20}) << log.text();
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// The printer reads in small pieces through a window of a few KiB and stops
// reading for longer than the idle time while the client is still sending,
// as a printer out of paper does: the relay waits for it rather than give
// the job up, and the job arrives whole.
TEST_F(PrinterFaults, StallingPrinterWithTinyWindowGetsTheWholeJob) {
    set("idletime", "1");
    usePrinter({.receive_buffer = 4096});
    printer->plan({{.read_size = 1024,
                    .pause = std::chrono::microseconds(200),
                    .stall_at = 1024 * 1024,
                    .stall = std::chrono::milliseconds(2500)}});
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = randomBytes(5 * 1024 * 1024, 5);
    ASSERT_NO_FATAL_FAILURE(sendJob(job));
    ASSERT_TRUE(waitJobs(1));
    EXPECT_LE(printer->receiveBuffer(), 16 * 1024) << "the window was not small";
    EXPECT_TRUE(jobOf(0) == job) << "the job arrived changed";
    EXPECT_EQ(log.waitCounts(1), std::vector<long long>{static_cast<long long>(job.size())});
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// A blocking send returns short when the daemon is stopped and continued
// while it waits on a stalled printer; the rest of the piece must still go.
TEST_F(PrinterFaults, SendCutShortByStopAndContinueIsCompleted) {
    usePrinter({.receive_buffer = 4096});
    printer->plan({{.stall_at = 256 * 1024}});
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = randomBytes(4 * 1024 * 1024, 9);
    std::thread sender([&] { sendJob(job); });
    const pid_t pid = daemon->pid();
    bool blocked = waitUntil(
        [&] { return printer->receiving().size() >= 256 * 1024 && statusState(pid) == 'S'; }, 30);
    EXPECT_TRUE(blocked) << "the daemon never waited in a send: " << kernelWait(pid);
    daemon->signal(SIGSTOP);
    EXPECT_TRUE(waitUntil([&] { return statusState(pid) == 'T'; }, 15));
    daemon->signal(SIGCONT);
    EXPECT_TRUE(waitUntil([&] { return statusState(pid) != 'T'; }, 15));
    printer->resume();
    sender.join();
    ASSERT_TRUE(waitJobs(1));
    const std::string got = jobOf(0);
    EXPECT_EQ(got.size(), job.size());
    EXPECT_TRUE(got == job) << "the job arrived changed";
    EXPECT_EQ(log.waitCounts(1), std::vector<long long>{static_cast<long long>(job.size())});
}

} // namespace
} // namespace testsupport
