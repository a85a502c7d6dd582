// A thousand jobs in a row must all arrive whole with the log's running
// total exact, and leave the daemon's descriptors and memory as they were
// after the first ten.
#include <gtest/gtest.h>

#include <random>

#include "support/service_test.h"

namespace testsupport {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

class Soak : public ServiceTest {};

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
    std::vector<long long> totals;
    std::string early_fds;
    unsigned long early_rss = 0;
    for (size_t i = 0; i < kJobs; ++i) {
        const std::string job = randomBytes(size_of(generator), static_cast<uint32_t>(i));
        sums.push_back(checksum(job));
        totals.push_back((totals.empty() ? 0 : totals.back()) + static_cast<long long>(job.size()));
        ASSERT_NO_FATAL_FAILURE(sendJob(job)) << "job " << i;
        if (i + 1 == kEarly) {
            ASSERT_TRUE(waitIdle(kEarly));
            early_fds = describe(openDescriptors(daemon->pid()).value());
            early_rss = statusNumbers(daemon->pid(), "VmRSS:").at(0);
        }
    }
    ASSERT_TRUE(waitIdle(kJobs));

    auto late_fds = openDescriptors(daemon->pid());
    ASSERT_TRUE(late_fds.has_value());
    EXPECT_EQ(describe(*late_fds), early_fds) << "descriptors differ across jobs";
    expectCloseOnExec(*late_fds);
    unsigned long rss = statusNumbers(daemon->pid(), "VmRSS:").at(0);
    RecordProperty("rss_kib_after_10_jobs", std::to_string(early_rss));
    RecordProperty("rss_kib_after_1000_jobs", std::to_string(rss));
    // Sanitizers and valgrind keep freed memory aside on purpose.
    if (!kAddressSanitizer && wrapperWords().empty()) {
        EXPECT_LE(rss, early_rss + kMemorySlackKiB)
            << "resident memory grew from " << early_rss << " KiB to " << rss << " KiB";
    }

    ASSERT_TRUE(waitJobs(kJobs));
    auto got = jobs();
    ASSERT_EQ(got.size(), kJobs);
    for (size_t i = 0; i < kJobs; ++i)
        ASSERT_EQ(checksum(got[i]), sums[i]) << "job " << i;
    EXPECT_EQ(log.waitCounts(kJobs), totals);
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

} // namespace
} // namespace testsupport
