// Clients that misbehave or crowd in: reset while the printer answers, or
// arrive twenty at once. Each may cost at most its own job; every other job
// arrives whole after its own face page.
#include <gtest/gtest.h>

#include <latch>
#include <map>

#include "support/service_test.h"

namespace testsupport {
namespace {

using Answer = PrinterScript::Answer;

class ClientFaults : public ServiceTest {};

// The relay's sends to the client fail once it has reset; that must end the
// job, not the daemon.
TEST_F(ClientFaults, ResetWhilePrinterAnswersEndsOnlyThatJob) {
    const std::string status = randomBytes(4 * 1024 * 1024, 22);
    printer->plan({{.answer_when = Answer::After, .answer = status, .trigger = "status?"}});
    ASSERT_NO_FATAL_FAILURE(start());
    {
        Client client(port);
        ASSERT_TRUE(client.send("status?"));
        ASSERT_TRUE(client.readAtLeast(64 * 1024));
        EXPECT_TRUE(status.starts_with(client.received()));
        client.reset();
    }
    EXPECT_EQ(log.waitCounts(1), std::vector<long long>{7});
    ASSERT_TRUE(waitJobs(1));
    EXPECT_EQ(jobOf(0), "status?");
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// Twenty clients, each from its own 127.0.0.x address, connect and send at
// once. The daemon serves one job at a time, so the rest wait in the listen
// queue; none may be reset, since a print client that wrote its whole job
// takes a reset for a printed job. Every printer connection must hold one
// face page and exactly one client's whole job, and every job must arrive
// once.
TEST_F(ClientFaults, TwentyClientsAtOnceAreServedOneWholeJobEach) {
    constexpr size_t kClients = 20;
    ASSERT_NO_FATAL_FAILURE(start());

    std::vector<std::string> sent;
    std::map<uint64_t, size_t> owner; // checksum -> client
    for (size_t i = 0; i < kClients; ++i) {
        sent.push_back(
            "client " + std::to_string(i) + "\n" +
            randomBytes(1024 + (i * 7919) % (128 * 1024), static_cast<uint32_t>(100 + i)));
        owner[checksum(sent.back())] = i;
    }
    ASSERT_EQ(owner.size(), kClients);

    std::latch go(kClients);
    std::vector<int> done(kClients, 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            const std::string source = "127.0.0." + std::to_string(10 + i);
            go.arrive_and_wait();
            Client client(port, 60, 0, "127.0.0.1", source.c_str());
            if (!client.connected())
                return;
            bool whole = client.send(sent[i]);
            client.shutdownWrite();
            done[i] = client.readToEnd(60) && whole && !client.wasReset();
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (size_t i = 0; i < kClients; ++i)
        EXPECT_EQ(done[i], 1) << "client " << i << " was not served";

    ASSERT_TRUE(waitJobs(kClients));
    auto got = jobs();
    ASSERT_EQ(got.size(), kClients);
    std::vector<int> seen(kClients, 0);
    std::vector<long long> expected;
    long long total = 0;
    for (size_t c = 0; c < kClients; ++c) {
        auto found = owner.find(checksum(got[c]));
        ASSERT_NE(found, owner.end()) << "connection " << c << " holds no client's whole job";
        ++seen[found->second];
        total += static_cast<long long>(sent[found->second].size());
        expected.push_back(total);
    }
    for (size_t i = 0; i < kClients; ++i)
        EXPECT_EQ(seen[i], 1) << "client " << i;
    // The log's totals rise job by job, in the order the printer got them.
    EXPECT_EQ(log.waitCounts(kClients), expected);
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

} // namespace
} // namespace testsupport
