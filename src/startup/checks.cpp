// Checks made before serving: a configuration that cannot work is refused at
// start, with a line that names the setting or file and says what to do.
#include "startup/startup.h"

#include "common/io.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

bool check_only = false;

namespace {

void refuse(const std::string& text) {
    std::fprintf(stderr, "tindrel: %s\n", text.c_str());
}

std::string ipText(uint32_t ip) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{ip};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// Four decimal numbers and three dots, as the address keys must be written;
// trailing white space is tolerated (it is warned about).
bool dottedQuad(const std::string& text) {
    in_addr a{};
    return inet_pton(AF_INET, std::string(tindrel::trimEnd(text)).c_str(), &a) == 1;
}

bool isThisHost(uint32_t ip) {
    if ((ntohl(ip) >> 24) == 127)
        return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET)
            found = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == ip;
    }
    freeifaddrs(list);
    return found;
}

// The address and port the proxy takes jobs on: the passed socket's, or the
// configured ones. An IPv6 socket for any address takes IPv4 jobs too.
void ownAddress(int listener, uint32_t& ip, uint16_t& port) {
    ip = conf.proxy_ip;
    port = conf.proxy_port;
    if (listener < 0)
        return;
    sockaddr_storage own{};
    socklen_t len = sizeof own;
    if (getsockname(listener, reinterpret_cast<sockaddr*>(&own), &len) != 0)
        return;
    if (own.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(own);
        ip = a.sin_addr.s_addr;
        port = a.sin_port;
    } else if (own.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(own);
        port = a.sin6_port;
        ip = 0;
        if (IN6_IS_ADDR_V4MAPPED(&a.sin6_addr))
            std::memcpy(&ip, &a.sin6_addr.s6_addr[12], sizeof ip);
        else if (IN6_IS_ADDR_LOOPBACK(&a.sin6_addr))
            ip = htonl(INADDR_LOOPBACK);
    }
}

int checkAddresses(int listener) {
    int refused = 0;
    if (listener < 0) {
        if (!dottedQuad(settingText(kProxyIp))) {
            refuse("proxy-ip \"" + settingText(kProxyIp) +
                   "\" is not an IPv4 address; write it as four numbers, such as 0.0.0.0 or "
                   "127.0.0.1");
            refused = 1;
        }
        if (long written = portAsWritten(kProxyPort); written < 1 || written > 65535) {
            refuse("proxy-port \"" + settingText(kProxyPort) +
                   "\" is not a port from 1 to 65535; set a port in that range");
            refused = 1;
        } else if (conf.proxy_port == 0) {
            refuse("proxy-port \"" + settingText(kProxyPort) +
                   "\" reads as port 0, on which nobody could find the service; set a port from 1 "
                   "to 65535");
            refused = 1;
        }
    }
    if (long written = portAsWritten(kPrinterPort); written < 0 || written > 65535) {
        refuse("printer-port \"" + settingText(kPrinterPort) +
               "\" is not a port from 1 to 65535 (or 0 for the device); set a port in that range");
        refused = 1;
    }
    if (conf.use_printer && !dottedQuad(settingText(kPrinterIp))) {
        refuse("printer-ip \"" + settingText(kPrinterIp) +
               "\" is not an IPv4 address; write the printer's address as four numbers, such as "
               "192.0.2.7");
        refused = 1;
    }
    return refused;
}

int checkNotItself(int listener) {
    uint32_t own_ip = 0;
    uint16_t own_port = 0;
    ownAddress(listener, own_ip, own_port);
    if (!conf.use_printer || conf.printer_port != own_port)
        return 0;
    if (conf.printer_ip != own_ip && !(own_ip == INADDR_ANY && isThisHost(conf.printer_ip)))
        return 0;
    refuse("printer-ip " + ipText(conf.printer_ip) + " and printer-port " +
           std::to_string(ntohs(conf.printer_port)) + " name this proxy itself (it listens on " +
           ipText(own_ip) + " port " + std::to_string(ntohs(own_port)) +
           "), so every job would loop back to it; set printer-ip and printer-port to the printer");
    return 1;
}

// Opened as its sender opens it, with the identity the daemon runs as.
int checkTemplate() {
    const std::string name(conf.template_type.starts_with("txt")
                               ? tindrel::trimEnd(conf.template_name)
                               : std::string_view(conf.template_name));
    // Without blocking: a FIFO template must not hold the start until a
    // writer comes (its sender then waits for one at every job).
    tindrel::UniqueFd file(open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (file.valid() && fstat(file.get(), &st) == 0 && !S_ISREG(st.st_mode)) {
        // A directory opens, but every face page made from it would be broken.
        refuse("face-page template " + name +
               " is not a regular file; set template-name (and working-dir) to a readable file");
        return 1;
    }
    if (file.valid())
        return 0;
    refuse("face-page template " + name + " cannot be opened for reading by the run user " +
           conf.user_name + ": " + std::strerror(errno) +
           "; set template-name (and working-dir) to a readable file");
    return 1;
}

int checkCutPaths() {
    int refused = 0;
    for (size_t r = 0; r < kKeyCount; ++r) {
        const KeyEntry& k = keyTable[r];
        if (!k.cut || !namesFile(static_cast<KeyRow>(r)))
            continue;
        refuse(std::string(k.comando) + " is longer than " + std::to_string(kValueMax) +
               " characters and was cut to \"" + k.valor +
               "\", which names another file; use a shorter path (working-dir helps)");
        refused = 1;
    }
    return refused;
}

// The proxy address as -d would bind it, with the run user's rights.
int checkBind() {
    tindrel::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = conf.proxy_ip;
    address.sin_port = conf.proxy_port;
    if (fd.valid() && bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return 0;
    refuse("proxy-ip " + ipText(conf.proxy_ip) + " port " + std::to_string(ntohs(conf.proxy_port)) +
           " cannot be bound by the run user " + conf.user_name + ": " + std::strerror(errno));
    return 1;
}

// The job log, opened for appending as each line opens it.
int checkLog() {
    const std::string& path = conf.logfile_path;
    if (path.empty() || path.back() == '/')
        return 0;
    if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0)
        return 0;
    if (errno == ENOENT) {
        size_t slash = path.rfind('/');
        std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0)
            return 0;
    }
    refuse("job log " + path + " cannot be opened for appending by the run user " + conf.user_name +
           ": " + std::strerror(errno) + "; set logfile (and working-dir)");
    return 1;
}

void warnChecks() {
    if (!conf.local.empty() && faccessat(AT_FDCWD, conf.local.c_str(), R_OK, AT_EACCESS) != 0)
        refuse("warning: user database " + conf.local + " cannot be read (" + std::strerror(errno) +
               "); face pages will show no office or phone");
    if (conf.idle_time == 0)
        refuse("warning: idletime 0 ends a job at the first moment no data is waiting, and "
               "printer attempts follow each other without pause");
}

} // namespace

int checkOnly() {
    int refused = checkServing(-1);
    refused |= checkBind();
    refused |= checkLog();
    warnChecks();
    return refused;
}

int checkServing(int listener) {
    int refused = checkAddresses(listener);
    refused |= checkCutPaths();
    refused |= checkNotItself(listener);
    refused |= checkTemplate();
    return refused;
}
