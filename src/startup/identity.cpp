// The switch of the run identity and the application of the configuration.
#include "startup/startup.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <pwd.h>
#include <string_view>
#include <unistd.h>

namespace {

constexpr const char* kOwnWorkingDir = "./";

[[noreturn]] void switchFailed(const char* what) {
    std::fflush(stdout);
    std::perror(what);
    if (check_only)
        printCheckSummary(1);
    std::exit(1);
}

// Drops root for good: supplementary groups, group ids, user ids, then checks
// that every real, effective and saved id is the run user's.
void dropRoot(const std::string& name, uid_t uid, gid_t gid) {
    if (initgroups(name.c_str(), gid) != 0)
        switchFailed("setUser/initgroups: cannot set the run user's groups");
    if (setgid(gid) != 0)
        switchFailed("setUser/setgid: cannot switch group");
    if (setegid(gid) != 0)
        switchFailed("setUser/setegid: cannot switch group");
    if (setuid(uid) != 0)
        switchFailed("setUser/setuid: cannot switch user");
    if (seteuid(uid) != 0)
        switchFailed("setUser/seteuid: cannot switch user");

    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    if (getresuid(&ru, &eu, &su) != 0 || getresgid(&rg, &eg, &sg) != 0)
        switchFailed("setUser/getresuid: cannot verify the run identity");
    if (ru != uid || eu != uid || su != uid || rg != gid || eg != gid || sg != gid) {
        errno = EPERM;
        switchFailed("setUser: the run identity did not take");
    }
}

} // namespace

int setUser() {
    uid_t euid = geteuid();
    gid_t egid = getegid();

    if (euid == 0 || egid == 0) {
        const passwd* pw = getpwnam(conf.user_name.c_str());
        if (!pw) {
            std::printf("Unknown user %s in passwd. Please, create the user entry first",
                        conf.user_name.c_str());
            return 1;
        }
        if (pw->pw_gid == 0 || pw->pw_uid == 0) {
            std::puts("Are you trying malicuius action? Please, do not blame me!");
            if (check_only)
                printCheckSummary(1);
            std::exit(1);
        }
        const std::string name = pw->pw_name;
        const std::string home = pw->pw_dir ? pw->pw_dir : "";
        const uid_t uid = pw->pw_uid;
        const gid_t gid = pw->pw_gid;

        if (euid == 0) {
            dropRoot(name, uid, gid);
        } else {
            // Only the group is privileged: try, and carry on whatever happens.
            (void)!setgid(gid);
            (void)!setegid(gid);
            (void)!setuid(uid);
            (void)!seteuid(uid);
        }
        conf.working_dir = home;
        return 0;
    }

    std::printf("I guess that you know what you are doing ... ");
    const passwd* pw = getpwuid(euid);
    if (!pw) {
        std::printf("Unknown user id %u in passwd\n", static_cast<unsigned>(euid));
        return 1;
    }
    if (std::string_view(pw->pw_name).starts_with("nobody")) {
        std::puts("I was wrong!\n You make mistakes! Try with another user!");
        return 1;
    }
    std::puts("\nI was right... I guess! Keeping in current diretory!");
    conf.user_name = pw->pw_name;
    conf.working_dir = kOwnWorkingDir;
    return 0;
}

int applyConf() {
    conf.user_name = configuredUserName();
    if (setUser() != 0)
        return 1;
    deriveSettings();
    return 0;
}
