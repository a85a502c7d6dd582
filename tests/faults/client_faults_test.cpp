// Clients that misbehave or crowd in: reset mid-job, reset while the printer
// answers, stay silent and open, or arrive twenty at once. Each may cost at
// most its own job; every other job arrives whole after its own face page.
#include <gtest/gtest.h>

#include <latch>
#include <map>

#include "faults/faults.h"

namespace faults {
namespace {

using e2e::kTinyTemplate;
using e2e::randomBytes;
using Kind = e2e::PrinterStep::Kind;

class ClientFaults : public FaultTest {};

// What the printer took is exactly what the log counts: nothing the client
// sent before the reset is lost between the two.
TEST_F(ClientFaults, ResetMidJobCountsWhatThePrinterGot) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = randomBytes(1024 * 1024, 21);
    {
        BoundedClient client(port, secondsFromNow(30));
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send(job));
        client.reset();
    }
    ASSERT_TRUE(waitPrinterJobs(1, secondsFromNow(30)));
    const std::string got = jobOf(0);
    ASSERT_LE(got.size(), job.size()) << got.substr(0, 64);
    EXPECT_TRUE(job.compare(0, got.size(), got) == 0) << "the printer got bytes never sent";
    auto counts = waitCounts(1);
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts[0], static_cast<long long>(got.size()));
    ASSERT_NO_FATAL_FAILURE(expectStillServes(1));
}

// The relay's sends to the client fail once it has reset; that must end the
// job, not the daemon (no SIGPIPE).
TEST_F(ClientFaults, ResetWhilePrinterAnswersEndsOnlyThatJob) {
    const std::string status = randomBytes(4 * 1024 * 1024, 22);
    printer->plan({{Kind::AnswerAfter, 0, status, "status?"}});
    ASSERT_NO_FATAL_FAILURE(start());
    {
        BoundedClient client(port, secondsFromNow(30));
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send("status?"));
        std::string answer;
        ASSERT_TRUE(client.readAtLeast(answer, 64 * 1024));
        EXPECT_TRUE(status.compare(0, answer.size(), answer) == 0);
        client.reset();
    }
    ASSERT_TRUE(waitPrinterJobs(1, secondsFromNow(30)));
    EXPECT_EQ(jobOf(0), "status?");
    auto counts = waitCounts(1);
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts[0], 7);
    ASSERT_NO_FATAL_FAILURE(expectStillServes(1));
}

// A client that connects and then neither sends nor closes holds the daemon
// for the idle time only; a client queued behind it is served next.
TEST_F(ClientFaults, SilentOpenClientTimesOutThenTheNextIsServed) {
    setKey(settings, "idletime", "1");
    ASSERT_NO_FATAL_FAILURE(start());
    BoundedClient silent(port, secondsFromNow(30));
    ASSERT_TRUE(silent.connected());
    ASSERT_TRUE(daemon->waitOut("One more printing throught network", secondsFromNow(15)));

    const std::string job = "%!PS\n(queued behind a silent client) show\n";
    BoundedClient queued(port, secondsFromNow(30));
    ASSERT_TRUE(queued.connected());
    ASSERT_TRUE(queued.send(job));
    queued.shutdownWrite();

    std::string nothing;
    EXPECT_TRUE(silent.readToEnd(nothing)) << "the silent client was never closed";
    EXPECT_EQ(nothing, "");
    std::string answer;
    EXPECT_TRUE(queued.readToEnd(answer)) << "the queued client was never served";

    ASSERT_TRUE(waitPrinterJobs(2, secondsFromNow(30)));
    EXPECT_EQ(jobOf(0), "");
    EXPECT_EQ(jobOf(1), job);
    auto counts = waitCounts(2);
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts[0], 0);
    EXPECT_EQ(counts[1], static_cast<long long>(job.size()));
    ASSERT_NO_FATAL_FAILURE(expectStillServes(2));
}

// Twenty clients connect and send at once. The daemon serves one job at a
// time with a listen backlog of 5: the surplus waits in SYN retries or, with
// SYN cookies on (the Linux default), may be reset by the kernel before the
// daemon ever accepts it; such a client sees the reset and sends its job
// again, as print clients do. Every printer connection must hold one face
// page and exactly one client's whole job, and every job must arrive once.
TEST_F(ClientFaults, TwentyClientsAtOnceAreServedOneWholeJobEach) {
    constexpr size_t kClients = 20;
    ASSERT_NO_FATAL_FAILURE(start());

    std::vector<std::string> jobs;
    std::map<uint64_t, size_t> owner; // checksum -> client
    for (size_t i = 0; i < kClients; ++i) {
        jobs.push_back(
            "client " + std::to_string(i) + "\n" +
            randomBytes(1024 + (i * 7919) % (128 * 1024), static_cast<uint32_t>(100 + i)));
        owner[checksum(jobs.back())] = i;
    }
    ASSERT_EQ(owner.size(), kClients);

    const auto deadline = secondsFromNow(60);
    std::latch go(kClients);
    std::vector<int> done(kClients, 0);
    std::vector<int> resets(kClients, 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            go.arrive_and_wait();
            while (Clock::now() < deadline) {
                BoundedClient client(port, deadline);
                if (!client.connected())
                    return;
                bool sent = client.send(jobs[i]);
                client.shutdownWrite();
                std::string answer;
                bool ended = client.readToEnd(answer);
                if (sent && ended && !client.wasReset()) {
                    done[i] = 1;
                    return;
                }
                if (!ended)
                    return;
                ++resets[i];
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    int total_resets = 0;
    for (size_t i = 0; i < kClients; ++i) {
        EXPECT_EQ(done[i], 1) << "client " << i << " was not served";
        total_resets += resets[i];
    }
    RecordProperty("clients_reset_before_accept", total_resets);

    ASSERT_TRUE(waitPrinterJobs(kClients, secondsFromNow(30)));
    auto connections = printerJobs();
    ASSERT_EQ(connections.size(), kClients);
    std::vector<int> seen(kClients, 0);
    std::vector<long long> sizes;
    for (size_t c = 0; c < kClients; ++c) {
        auto parts = e2e::splitFacePages(connections[c], kTinyTemplate);
        ASSERT_TRUE(parts && parts->size() == 1)
            << "connection " << c << " is not one page and one job";
        EXPECT_NE(parts->front().page.find("(IP ADDRESS : 127.0.0.1) N\n"), std::string::npos);
        auto found = owner.find(checksum(parts->front().job));
        ASSERT_NE(found, owner.end()) << "connection " << c << " holds no client's whole job";
        ++seen[found->second];
        sizes.push_back(static_cast<long long>(jobs[found->second].size()));
    }
    for (size_t i = 0; i < kClients; ++i)
        EXPECT_EQ(seen[i], 1) << "client " << i;

    // The log counts rise job by job, in the order the printer got them.
    auto counts = waitCounts(kClients);
    ASSERT_EQ(counts.size(), kClients);
    long long total = 0;
    for (size_t c = 0; c < kClients; ++c) {
        total += sizes[c];
        EXPECT_EQ(counts[c], total) << "job " << c;
    }
    ASSERT_NO_FATAL_FAILURE(expectStillServes(kClients));
}

} // namespace
} // namespace faults
