#include "startup/startup.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <vector>

Conf conf;

namespace {

constexpr const char* kOwnWorkingDir = "./";

const KeyEntry& key(KeyRow r) {
    return keyTable[r];
}

// A text key counts as set when its last line gave it "=" and characters. The
// value itself is looked at, not the stored length: "key =" after "key = x"
// keeps the earlier length with an empty value, which must not become an
// empty name, user or directory.
bool setWithValue(KeyRow r) {
    return key(r).given && !key(r).valor.empty();
}

const std::string& valueOf(KeyRow r) {
    return key(r).valor;
}

// Numeric, address and device keys look only at the stored length, so a
// valueless line after a value reads as an empty text (a port then reads 0).
std::string valueOrDefault(KeyRow r) {
    return key(r).tam != 0 ? key(r).valor : std::string(key(r).default_value);
}

// Base-10 like strtol, clamped to the 32-bit range of the setting.
int32_t readNumber(const std::string& text) {
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

uint16_t readPort(const std::string& text) {
    long v = std::strtol(text.c_str(), nullptr, 10);
    return htons(static_cast<uint16_t>(static_cast<unsigned long>(v) & 0xFFFFu));
}

// A relative name is placed in the working directory.
std::string composePath(KeyRow r) {
    if (setWithValue(r)) {
        const std::string& v = valueOf(r);
        if (v.front() == '/')
            return v;
        return conf.working_dir + "/" + v;
    }
    return conf.working_dir + "/" + key(r).default_value;
}

[[noreturn]] void switchFailed(const char* what) {
    std::fflush(stdout);
    std::perror(what);
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

void deriveSettings() {
    const KeyEntry& wd = key(kWorkingDir);
    if (!wd.given)
        conf.working_dir = wd.default_value;
    else if (setWithValue(kWorkingDir))
        conf.working_dir = valueOf(kWorkingDir);
    else if (conf.working_dir.empty())
        conf.working_dir = wd.default_value;

    conf.template_name = composePath(kTemplateName);
    conf.template_type =
        setWithValue(kTemplateType) ? valueOf(kTemplateType) : key(kTemplateType).default_value;

    if (setWithValue(kLogfile)) {
        const std::string& v = valueOf(kLogfile);
        if (v.front() == '/') {
            conf.logfile_path = v;
        } else if (v.front() == '*') {
            // The mark selects the system logger; "*" alone leaves a path
            // ending in "/", which names no file.
            conf.use_syslog = 1;
            conf.logfile_path = conf.working_dir + "/" + v.substr(1);
        } else {
            conf.use_syslog = 0;
            conf.logfile_path = conf.working_dir + "/" + v;
        }
    } else {
        conf.logfile_path = conf.working_dir + "/" + key(kLogfile).default_value;
    }

    conf.local = composePath(kIpLocation);
    conf.proxy_port = readPort(valueOrDefault(kProxyPort));
    conf.proxy_ip = inet_addr(valueOrDefault(kProxyIp).c_str());
    conf.printer_port = readPort(valueOrDefault(kPrinterPort));
    conf.printer_ip = inet_addr(valueOrDefault(kPrinterIp).c_str());
    conf.printer_dev = valueOrDefault(kPrinterDev);
    conf.idle_time = readNumber(valueOrDefault(kIdletime));
    conf.retry_printer = readNumber(valueOrDefault(kRetryPrinter));
    conf.use_printer = (conf.printer_ip != 0 && conf.printer_port != 0) ? 1 : 0;
}

std::string settingText(KeyRow r) {
    return valueOrDefault(r);
}

long settingNumber(KeyRow r) {
    if (r == kProxyPort || r == kPrinterPort)
        return ntohs(readPort(valueOrDefault(r)));
    return readNumber(valueOrDefault(r));
}

int applyConf() {
    conf.user_name = setWithValue(kUser) ? valueOf(kUser) : key(kUser).default_value;
    if (setUser() != 0)
        return 1;
    deriveSettings();
    return 0;
}
