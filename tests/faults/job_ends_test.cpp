// How a job ends when the printer goes away or never comes, or the client
// gives up: every loss is reset and logged, a held job is delivered once the
// printer is back, and a stop ends a hold at once.
#include <gtest/gtest.h>

#include <csignal>

#include "support/service_test.h"

namespace testsupport {
namespace {

class JobEnds : public ServiceTest {
protected:
    // The printer is off: attempts every second, for up to a minute.
    void printerOff() {
        usePrinter({.listen = false});
        set("idletime", "1");
        set("retry-printer", "60");
    }
};

// The printer takes 100 KB, closes, and resets on more data: the client
// must not take the job for printed.
TEST_F(JobEnds, PrinterClosingMidJobLosesItLoudly) {
    printer->plan({{.after = 100 * 1024, .close = true}});
    ASSERT_NO_FATAL_FAILURE(start());
    {
        Client client(port);
        client.send(randomBytes(3 * 1024 * 1024, 3));
        client.shutdownWrite();
        EXPECT_TRUE(client.readToEnd());
        EXPECT_TRUE(client.wasReset());
    }
    EXPECT_EQ(log.waitCounts(1).size(), 1u);
    const std::string text = log.text();
    EXPECT_LT(text.find("msg=[Printer failed during the job]"), text.find(": Sent bytes")) << text;
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// The start of the job is buffered before the face page; however the client
// splits it, the printer gets it byte for byte.
TEST_F(JobEnds, JobSentOneByteASendArrivesUnchanged) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = "%!PS\n%%Title: one by one\n" + randomBytes(300, 8);
    {
        Client client(port);
        for (char c : job) {
            ASSERT_TRUE(client.send(std::string(1, c)));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        client.shutdownWrite();
        EXPECT_TRUE(client.readToEnd());
    }
    ASSERT_TRUE(waitJobs(1));
    EXPECT_EQ(checksum(jobOf(0)), checksum(job));
}

TEST_F(JobEnds, HeldJobIsDeliveredWhenThePrinterComesUp) {
    printerOff();
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = randomBytes(64 * 1024, 4);
    Client client(port);
    ASSERT_TRUE(client.send(job));
    client.shutdownWrite();
    ASSERT_TRUE(daemon->waitOut("Trying printer: 1"));
    printer->startListening();
    EXPECT_TRUE(client.readToEnd());
    EXPECT_FALSE(client.wasReset());
    ASSERT_TRUE(waitJobs(1));
    EXPECT_TRUE(jobOf(0) == job);
}

TEST_F(JobEnds, HeldClientThatResetsIsLetGoAndTheNextServed) {
    printerOff();
    ASSERT_NO_FATAL_FAILURE(start());
    {
        Client client(port);
        ASSERT_TRUE(client.send("given up"));
        client.shutdownWrite();
        ASSERT_TRUE(daemon->waitOut("Trying printer: 0"));
        client.reset();
    }
    EXPECT_TRUE(log.waitFor("msg=[Client gave up while the printer was unreachable]", 1, 3))
        << log.text();
    printer->startListening();
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

TEST_F(JobEnds, StopEndsTheHoldAtOnce) {
    printerOff();
    expect_running = false;
    ASSERT_NO_FATAL_FAILURE(start());
    Client client(port);
    ASSERT_TRUE(client.send("held"));
    ASSERT_TRUE(daemon->waitOut("Trying printer: 0"));
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->waitExit(2), 0);
    EXPECT_TRUE(client.readToEnd(2));
    EXPECT_TRUE(client.wasReset());
    EXPECT_TRUE(log.waitFor("msg=[Stopped before the job was done]")) << log.text();
}

// The printer stops reading during the face page: a stop request gives the
// job its 30 s of grace, then the job is lost and the daemon ends.
TEST_F(JobEnds, StopEndsAFacePageThePrinterDoesNotTake) {
    usePrinter({.receive_buffer = 4096});
    printer->plan({{.stall_at = 64 * 1024}});
    // Larger than any socket buffer, so the page's send must wait.
    face_template = std::string(kTinyTemplate) + std::string(8 << 20, '%') + "\n";
    dir.write("face.ps", face_template);
    expect_running = false;
    ASSERT_NO_FATAL_FAILURE(start());
    Client client(port);
    ASSERT_TRUE(client.send("%!PS\n(never printed)\n"));
    client.shutdownWrite();
    const pid_t pid = daemon->pid();
    ASSERT_TRUE(waitUntil(
        [&] { return printer->receiving().size() >= 64 * 1024 && statusState(pid) == 'S'; }, 30))
        << kernelWait(pid);
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->waitExit(40), 0);
    EXPECT_TRUE(client.readToEnd(2));
    EXPECT_TRUE(client.wasReset());
    EXPECT_TRUE(log.waitFor("msg=[Stopped before the job was done]")) << log.text();
}

} // namespace
} // namespace testsupport
