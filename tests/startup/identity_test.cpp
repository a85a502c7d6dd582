// The switch of the run identity, checked on real accounts. A start as root
// switches for real, so those checks run in a child process.
#include "startup/startup.h"
#include "support/support.h"

#include <algorithm>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::run;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

const std::string kBadType = "Invalid template type. May be only \"ps\" or \"txt\"\n";

struct Ids {
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    int ngroups;
    gid_t groups[64];
    int setUserResult;
    int regainedRoot;
    char workingDir[256];
};

// Runs setUser for `user` in a child and reports the child's ids afterwards.
Ids switchInChild(const char* user) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Ids ids{};
        conf = Conf{};
        conf.user_name = user;
        // Root holds supplementary groups of its own, which must not survive.
        const gid_t root_groups[] = {0, 4, 27};
        setgroups(3, root_groups);
        std::fflush(stdout);
        ids.setUserResult = setUser();
        getresuid(&ids.ruid, &ids.euid, &ids.suid);
        getresgid(&ids.rgid, &ids.egid, &ids.sgid);
        ids.ngroups = getgroups(64, ids.groups);
        ids.regainedRoot = setuid(0) == 0;
        snprintf(ids.workingDir, sizeof ids.workingDir, "%s", conf.working_dir.c_str());
        (void)!write(fds[1], &ids, sizeof ids);
        _exit(0);
    }
    close(fds[1]);
    Ids ids{};
    EXPECT_EQ(read(fds[0], &ids, sizeof ids), static_cast<ssize_t>(sizeof ids));
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return ids;
}

std::vector<std::string> asUser(const std::string& uid, const std::string& gid,
                                std::vector<std::string> args) {
    std::vector<std::string> cmd = {"/usr/bin/setpriv", "--reuid=" + uid, "--regid=" + gid,
                                    "--clear-groups"};
    cmd.insert(cmd.end(), args.begin(), args.end());
    return cmd;
}

class IdentitySwitch : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";
        if (access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "needs setpriv";
    }
    std::string confFile(const std::string& text) {
        std::string path = dir.file("id.conf");
        writeFile(path, text + "working-dir = " + dir.path() + "\n");
        return path;
    }
    TempDir dir;
};

TEST_F(IdentitySwitch, RootStartBecomesTheRunUserForGood) {
    const passwd* pw = getpwnam("nobody");
    ASSERT_NE(pw, nullptr);
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    const std::string home = pw->pw_dir;
    gid_t expected[64];
    int nexpected = 64;
    ASSERT_GE(getgrouplist("nobody", gid, expected, &nexpected), 0);

    Ids ids = switchInChild("nobody");
    EXPECT_EQ(ids.setUserResult, 0);
    EXPECT_EQ(ids.ruid, uid);
    EXPECT_EQ(ids.euid, uid);
    EXPECT_EQ(ids.suid, uid);
    EXPECT_EQ(ids.rgid, gid);
    EXPECT_EQ(ids.egid, gid);
    EXPECT_EQ(ids.sgid, gid);
    EXPECT_FALSE(ids.regainedRoot);
    EXPECT_EQ(std::string(ids.workingDir), home);

    // Exactly the run user's own groups remain: root's groups are gone.
    std::vector<gid_t> got(ids.groups, ids.groups + std::max(ids.ngroups, 0));
    std::vector<gid_t> want(expected, expected + nexpected);
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
}

// The start as root or as another account (uid:gid for setpriv, empty to
// stay root): what it prints up to the help text or the end, and its status.
TEST_F(IdentitySwitch, StartAsEachAccount) {
    const std::string guess = "I guess that you know what you are doing ... ";
    const std::string right = "I was right... I guess! Keeping in current diretory!\n";
    struct Case {
        const char* account;
        std::string conf;
        std::vector<std::string> options;
        std::string out;
        int status;
        bool whole = true; // the whole output, or else its start
    };
    const Case cases[] = {
        {"",
         "user = root\n",
         {"-d"},
         "Are you trying malicuius action? Please, do not blame me!\n",
         1},
        {"",
         "user = no-such-user-tindrel\n",
         {"-d"},
         "Unknown user no-such-user-tindrel in passwd. Please, create the user entry first" +
             kBadType,
         1},
        {"", "user = daemon\n", {"-d", "-d", "-c"}, guess + "\n" + right + "#\n", 0, false},
        {"1:1", "user = nobody\n", {"-d", "-h"}, guess + "\n" + right + "Usage:", 0, false},
        {"nobody:nogroup",
         "",
         {"-d"},
         guess + "I was wrong!\n You make mistakes! Try with another user!\n" + kBadType,
         1},
        {"4242:4242", "", {"-d"}, guess + "Unknown user id 4242 in passwd\n" + kBadType, 1},
        {"1:0", "user = nobody\n", {"-d", "-h"}, "Usage:", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.account) + " " + c.conf);
        std::vector<std::string> args = {TINDREL_BINARY, "-C", confFile(c.conf)};
        args.insert(args.end(), c.options.begin(), c.options.end());
        std::string_view account(c.account);
        if (!account.empty()) {
            size_t colon = account.find(':');
            args = asUser(std::string(account.substr(0, colon)),
                          std::string(account.substr(colon + 1)), args);
        }
        auto r = run(args);
        if (c.whole)
            EXPECT_EQ(r.out, c.out);
        else
            EXPECT_TRUE(r.out.starts_with(c.out)) << r.out;
        EXPECT_EQ(r.status, c.status);
    }
}

} // namespace
