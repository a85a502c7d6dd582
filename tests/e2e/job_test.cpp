// What a job does the same way whether the daemon relays it to a printer or
// spools it into a device file: face page first, the running total in the
// log, the idle time-out, a client that resets, open descriptors.
#include <gtest/gtest.h>

#include <functional>

#include "support/service_test.h"

namespace testsupport {
namespace {

class Job : public ServiceTest, public ::testing::WithParamInterface<Mode> {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        use(GetParam());
    }
};

// The device is appended to, never truncated.
TEST_P(Job, FacePagePrecedesEachJobAndTheLogKeepsTheRunningTotal) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string first = randomBytes(3 * 1024 * 1024, 3);
    const std::string second = "second job\n";
    ASSERT_NO_FATAL_FAILURE(sendJob(first));
    {
        // A delivered job ends with an orderly end of stream, not a reset.
        Client client(port);
        ASSERT_TRUE(client.send(second));
        client.shutdownWrite();
        ASSERT_TRUE(client.readToEnd());
        EXPECT_FALSE(client.wasReset());
    }
    auto counts = log.waitCounts(2);
    const auto total = static_cast<long long>(first.size());
    EXPECT_EQ(counts, (std::vector<long long>{total, total + 11}));
    EXPECT_NE(log.text().find("ip=[127.0.0.1] : msg=[" + sentBytes(total + 11) + "]"),
              std::string::npos)
        << log.text();

    ASSERT_TRUE(waitJobs(2));
    auto got = jobs();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0] == first) << "the first job differs";
    EXPECT_EQ(got[1], second);
    std::string data = printer ? printer->connections()[1].data : readFile(device);
    EXPECT_NE(data.find("(IP ADDRESS : 127.0.0.1) N\n"), std::string::npos);
    EXPECT_NE(data.find("(OFFICE : A12) N\n(PHONE : 5550) N\n"), std::string::npos);
    EXPECT_EQ(countOccurrences(log.text(), "msg=[Success sending Face Page]"), 2u) << log.text();
    EXPECT_EQ(log.text().find("Failure"), std::string::npos) << log.text();
}

// A probe that connects and closes without a byte is no job: nothing
// reaches the printer or the device, and the log says why.
TEST_P(Job, ClientWithoutDataGetsNoFacePage) {
    ASSERT_NO_FATAL_FAILURE(start());
    {
        Client client(port);
        ASSERT_TRUE(client.connected());
    }
    EXPECT_EQ(log.waitCounts(1), std::vector<long long>{0});
    EXPECT_TRUE(log.waitFor("msg=[No job data: no face page]")) << log.text();
    if (printer) {
        ASSERT_TRUE(printer->waitConnections(1));
        EXPECT_EQ(printer->connections()[0].data, "");
    } else {
        EXPECT_EQ(readFile(device), "");
    }
}

// A client that connects and then neither sends nor closes holds the daemon
// for the idle time only; a client queued behind it is served next.
TEST_P(Job, SilentClientTimesOutThenTheNextIsServed) {
    set("idletime", "1");
    ASSERT_NO_FATAL_FAILURE(start());
    Client silent(port);
    ASSERT_TRUE(silent.connected());
    ASSERT_TRUE(daemon->waitOut("Requests arrived"));

    const std::string job = "%!PS\n(queued behind a silent client) show\n";
    Client queued(port);
    ASSERT_TRUE(queued.send(job));
    queued.shutdownWrite();

    EXPECT_TRUE(silent.readToEnd()) << "the silent client was never closed";
    EXPECT_EQ(silent.received(), "");
    EXPECT_TRUE(queued.readToEnd()) << "the queued client was never served";
    EXPECT_EQ(log.waitCounts(2), (std::vector<long long>{0, static_cast<long long>(job.size())}));
    ASSERT_TRUE(waitJobs(2));
    EXPECT_EQ(jobs().back(), job);
    // No face page for a client that never sent a byte.
    if (printer)
        EXPECT_EQ(printer->connections().front().data, "");
    else
        EXPECT_EQ(jobs().size(), 1u);
}

// While a job is under way every descriptor beyond the standard three, the
// listener, the client and the printer connection or device, closes on exec.
TEST_P(Job, DescriptorsCloseOnExecDuringTheJob) {
    ASSERT_NO_FATAL_FAILURE(start());
    Client client(port);
    ASSERT_TRUE(client.send("first half "));
    auto ready = [&](const std::vector<Descriptor>& open) {
        return countSockets(open) >= (printer ? 3u : 2u) && (printer || holds(open, device));
    };
    std::vector<Descriptor> fds;
    EXPECT_TRUE(waitUntil(
        [&] {
            fds = openDescriptors(daemon->pid()).value_or(std::vector<Descriptor>{});
            return ready(fds);
        },
        15))
        << describe(fds);
    expectCloseOnExec(fds);

    ASSERT_TRUE(client.send("second half"));
    client.shutdownWrite();
    EXPECT_TRUE(client.readToEnd());
    ASSERT_TRUE(waitJobs(1));
    EXPECT_EQ(jobOf(0), "first half second half");
}

INSTANTIATE_TEST_SUITE_P(BothServices, Job, ::testing::Values(Mode::Relay, Mode::Spool), modeName);

} // namespace
} // namespace testsupport
