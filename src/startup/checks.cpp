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
        if (conf.proxy_port == 0) {
            refuse("proxy-port \"" + settingText(kProxyPort) +
                   "\" reads as port 0, on which nobody could find the service; set a port from 1 "
                   "to 65535");
            refused = 1;
        }
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
    if (file.valid())
        return 0;
    refuse("face-page template " + name + " cannot be opened for reading by the run user " +
           conf.user_name + ": " + std::strerror(errno) +
           "; set template-name (and working-dir) to a readable file");
    return 1;
}

} // namespace

int checkServing(int listener) {
    int refused = checkAddresses(listener);
    refused |= checkNotItself(listener);
    refused |= checkTemplate();
    return refused;
}
