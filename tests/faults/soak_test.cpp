// Long runs and resources: a thousand jobs in a row must all arrive whole
// with the log's running count exact, and leave the daemon's descriptors and
// memory as they were after the first ten. Every descriptor the daemon holds
// beyond the standard three closes on exec.
#include <gtest/gtest.h>

#include <functional>
#include <pwd.h>
#include <random>

#include "faults/faults.h"

namespace faults {
namespace {

using e2e::kTinyTemplate;
using e2e::randomBytes;
using e2e::runningAsRoot;

std::string describe(const std::vector<Descriptor>& fds) {
    std::string text;
    for (const auto& d : fds) {
        char flags[32];
        std::snprintf(flags, sizeof flags, "%lo", d.flags);
        text += std::to_string(d.fd) + " -> " + d.target + " flags " + flags + "\n";
    }
    return text;
}

// Every descriptor but 0, 1 and 2 must have close-on-exec.
void expectCloseOnExec(const std::vector<Descriptor>& fds) {
    for (const auto& d : fds) {
        if (d.fd <= 2)
            continue;
        EXPECT_NE(d.flags & kCloseOnExecFlag, 0u)
            << "descriptor " << d.fd << " (" << d.target << ") stays open across exec\n"
            << describe(fds);
    }
}

class Soak : public FaultTest {};

TEST_F(Soak, ThousandJobsArriveWholeAndLeaveNoTrace) {
    constexpr size_t kJobs = 1000;
    constexpr size_t kEarly = 10;
    // A leak of a few hundred bytes per job would exceed this over 990 jobs;
    // page-granular heap growth of the allocator stays well below it.
    constexpr unsigned long kMemorySlackKiB = 256;
    ASSERT_NO_FATAL_FAILURE(start());

    std::mt19937 generator(20050628);
    std::uniform_int_distribution<size_t> size_of(0, 64 * 1024);
    std::vector<uint64_t> sums;
    std::vector<long long> sizes;
    std::optional<std::vector<Descriptor>> early_fds;
    unsigned long early_rss = 0;
    for (size_t i = 0; i < kJobs; ++i) {
        const std::string job = randomBytes(size_of(generator), static_cast<uint32_t>(i));
        sums.push_back(checksum(job));
        sizes.push_back(static_cast<long long>(job.size()));
        ASSERT_NO_FATAL_FAILURE(sendJob(job)) << "job " << i;
        if (i + 1 == kEarly) {
            ASSERT_TRUE(waitIdle(kEarly));
            early_fds = openDescriptors(daemon->pid());
            ASSERT_TRUE(early_fds.has_value()) << "/proc of the daemon is not readable";
            auto rss = statusNumbers(daemon->pid(), "VmRSS:");
            ASSERT_EQ(rss.size(), 1u);
            early_rss = rss[0];
        }
    }
    ASSERT_TRUE(waitIdle(kJobs));

    auto late_fds = openDescriptors(daemon->pid());
    ASSERT_TRUE(late_fds.has_value());
    EXPECT_EQ(describe(*late_fds), describe(*early_fds)) << "descriptors differ across jobs";
    expectCloseOnExec(*late_fds);

    auto rss = statusNumbers(daemon->pid(), "VmRSS:");
    ASSERT_EQ(rss.size(), 1u);
    RecordProperty("rss_kib_after_10_jobs", std::to_string(early_rss));
    RecordProperty("rss_kib_after_1000_jobs", std::to_string(rss[0]));
    // Sanitizers and valgrind keep freed memory aside on purpose.
    if (!kAddressSanitizer && e2e::wrapperWords().empty()) {
        EXPECT_LE(rss[0], early_rss + kMemorySlackKiB)
            << "resident memory grew from " << early_rss << " KiB to " << rss[0] << " KiB";
    }

    ASSERT_TRUE(waitPrinterJobs(kJobs, secondsFromNow(30)));
    auto connections = printerJobs();
    ASSERT_EQ(connections.size(), kJobs);
    for (size_t i = 0; i < kJobs; ++i) {
        auto parts = e2e::splitFacePages(connections[i], kTinyTemplate);
        ASSERT_TRUE(parts && parts->size() == 1) << "connection " << i;
        ASSERT_EQ(static_cast<long long>(parts->front().job.size()), sizes[i]) << "job " << i;
        ASSERT_EQ(checksum(parts->front().job), sums[i]) << "job " << i;
    }

    auto counts = waitCounts(kJobs);
    ASSERT_EQ(counts.size(), kJobs);
    long long total = 0;
    for (size_t i = 0; i < kJobs; ++i) {
        total += sizes[i];
        ASSERT_EQ(counts[i], total) << "log line of job " << i;
    }
    ASSERT_NO_FATAL_FAILURE(expectStillServes(kJobs));
}

// Descriptors while a job is under way: the listening socket, the client,
// the printer connection or the device file.
class Descriptors : public FaultTest {
protected:
    // Waits until the daemon's descriptors satisfy `ready`; returns them.
    std::vector<Descriptor>
    waitDescriptors(const std::function<bool(const std::vector<Descriptor>&)>& ready) {
        auto deadline = secondsFromNow(15);
        for (;;) {
            auto fds = openDescriptors(daemon->pid());
            if (!fds) {
                ADD_FAILURE() << "/proc of the daemon is not readable";
                return {};
            }
            if (ready(*fds) || Clock::now() >= deadline)
                return *fds;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
};

size_t countSockets(const std::vector<Descriptor>& fds) {
    size_t count = 0;
    for (const auto& d : fds)
        count += d.target.rfind("socket:", 0) == 0 ? 1 : 0;
    return count;
}

bool holds(const std::vector<Descriptor>& fds, const std::string& path) {
    for (const auto& d : fds)
        if (d.target == path)
            return true;
    return false;
}

TEST_F(Descriptors, AllCloseOnExecDuringARelayJob) {
    ASSERT_NO_FATAL_FAILURE(start());
    BoundedClient client(port, secondsFromNow(30));
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send("first half "));
    // The listener, the client and the printer connection.
    auto fds = waitDescriptors([](const auto& open) { return countSockets(open) >= 3; });
    ASSERT_GE(countSockets(fds), 3u) << describe(fds);
    expectCloseOnExec(fds);

    ASSERT_TRUE(client.send("second half"));
    client.shutdownWrite();
    std::string answer;
    EXPECT_TRUE(client.readToEnd(answer));
    ASSERT_TRUE(waitPrinterJobs(1, secondsFromNow(30)));
    EXPECT_EQ(jobOf(0), "first half second half");
}

TEST_F(Descriptors, AllCloseOnExecDuringASpoolJob) {
    const std::string device = dir.write("lp0", "", 0666);
    setKey(settings, "printer-ip", "0.0.0.0");
    setKey(settings, "printer-dev", device);
    ASSERT_NO_FATAL_FAILURE(start());
    BoundedClient client(port, secondsFromNow(30));
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send("spooled "));
    // The listener, the client and the device file.
    auto fds = waitDescriptors(
        [&](const auto& open) { return countSockets(open) >= 2 && holds(open, device); });
    ASSERT_GE(countSockets(fds), 2u) << describe(fds);
    ASSERT_TRUE(holds(fds, device)) << describe(fds);
    expectCloseOnExec(fds);

    ASSERT_TRUE(client.send("job"));
    client.shutdownWrite();
    std::string answer;
    EXPECT_TRUE(client.readToEnd(answer));
    ASSERT_TRUE(e2e::waitFileContains(logPath(), e2e::sentBytes(11), secondsFromNow(15)));
    auto parts = e2e::splitFacePages(e2e::readFile(device), kTinyTemplate);
    ASSERT_TRUE(parts && parts->size() == 1);
    EXPECT_EQ(parts->front().job, "spooled job");
}

// Started by root the daemon runs as nobody; /proc shows every id switched,
// no group 0 left, and root can still inspect the process.
TEST_F(Descriptors, RootStartedDaemonRunsAsNobodyAndStaysInspectable) {
    if (!runningAsRoot())
        GTEST_SKIP() << "needs root";
    const passwd* pw = getpwnam("nobody");
    ASSERT_NE(pw, nullptr);
    ASSERT_NO_FATAL_FAILURE(start());
    const pid_t pid = daemon->pid();
    auto uids = statusNumbers(pid, "Uid:");
    auto gids = statusNumbers(pid, "Gid:");
    ASSERT_EQ(uids.size(), 4u);
    ASSERT_EQ(gids.size(), 4u);
    for (unsigned long id : uids)
        EXPECT_EQ(id, pw->pw_uid);
    for (unsigned long id : gids)
        EXPECT_EQ(id, pw->pw_gid);
    for (unsigned long group : statusNumbers(pid, "Groups:"))
        EXPECT_NE(group, 0u) << "a root group survived the switch";
    auto fds = openDescriptors(pid);
    ASSERT_TRUE(fds.has_value()) << "root cannot read /proc of the switched daemon";
    EXPECT_GE(fds->size(), 4u);
    ASSERT_NO_FATAL_FAILURE(expectStillServes(0));
}

} // namespace
} // namespace faults
