// Started by root the daemon runs as the configured account: /proc shows
// every user and group id switched, only the account's own supplementary
// groups (none of root's), and root can still inspect the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <grp.h>
#include <pwd.h>

#include "support/service_test.h"

namespace testsupport {
namespace {

class RunIdentity : public ServiceTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        if (!runningAsRoot())
            GTEST_SKIP() << "needs root";
        ServiceTest::SetUp();
        set("user", GetParam());
    }
};

TEST_P(RunIdentity, RootStartKeepsOnlyTheAccountsIdsAndGroups) {
    const passwd* pw = getpwnam(GetParam());
    ASSERT_NE(pw, nullptr);
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    ASSERT_GE(getgrouplist(GetParam(), gid, groups.data(), &count), 0);
    std::vector<unsigned long> expected(groups.begin(), groups.begin() + count);
    std::sort(expected.begin(), expected.end());

    // Root starts it holding supplementary groups of its own.
    ASSERT_NO_FATAL_FAILURE(start("# identity", {.prefix = {"setpriv", "--groups=0,4,27", "--"}}));
    const pid_t pid = daemon->pid();
    EXPECT_EQ(statusNumbers(pid, "Uid:"), std::vector<unsigned long>(4, uid));
    EXPECT_EQ(statusNumbers(pid, "Gid:"), std::vector<unsigned long>(4, gid));
    auto held = statusNumbers(pid, "Groups:");
    std::sort(held.begin(), held.end());
    EXPECT_EQ(held, expected) << "supplementary groups other than the account's";
    ASSERT_TRUE(openDescriptors(pid).has_value()) << "root cannot read /proc of the daemon";
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

INSTANTIATE_TEST_SUITE_P(Accounts, RunIdentity, ::testing::Values("nobody", "daemon"),
                         [](const auto& p) { return std::string(p.param); });

} // namespace
} // namespace testsupport
