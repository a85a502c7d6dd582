// Checks made before serving: a configuration that cannot work is refused at
// start, with a line that names the setting or file and says what to do.
#include "startup/startup.h"

#include "common/address.h"
#include "common/io.h"
#include "facepage/facepage.h"
#include "service/service.h"

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
#include <vector>

bool check_only = false;

namespace {

void refuse(const std::string& text) {
    std::fprintf(stderr, "tindrel: %s\n", text.c_str());
}

void warn(const std::string& text) {
    std::fprintf(stderr, "tindrel: warning: %s\n", text.c_str());
}

std::string portText(uint16_t port) {
    return std::to_string(ntohs(port));
}

// A loopback address, or one that an interface of this host holds.
bool isThisHost(const tindrel::NetAddress& address) {
    if (tindrel::isLoopback(address))
        return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
        if (i->ifa_addr)
            found = tindrel::sameAddress(
                tindrel::fromSockaddr(i->ifa_addr, sizeof(sockaddr_storage)), address);
    }
    freeifaddrs(list);
    return found;
}

// Where the proxy takes jobs: the passed socket's address, or the configured
// one. `dual`: an IPv6 socket for :: that takes IPv4 clients too.
struct OwnAddress {
    tindrel::NetAddress address; // with its port
    bool dual = false;
};

OwnAddress ownAddress(int listener) {
    OwnAddress own;
    own.address = conf.proxy_ip;
    own.address.port = conf.proxy_port;
    own.dual = own.address.family == AF_INET6 && tindrel::isAnyAddress(own.address);
    if (listener < 0)
        return own;
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    if (getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &len) != 0)
        return own;
    own.address = tindrel::fromSockaddr(reinterpret_cast<sockaddr*>(&bound), len);
    int v6only = 1;
    socklen_t v6len = sizeof v6only;
    own.dual = own.address.family == AF_INET6 && tindrel::isAnyAddress(own.address) &&
               getsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &v6len) == 0 && v6only == 0;
    return own;
}

// Whether a connection to `printer` on the proxy's port reaches the proxy.
// 0.0.0.0 listens on every local IPv4 address, :: on every local IPv6
// address and, dual, on every IPv4 one as well.
bool reachesProxy(const tindrel::NetAddress& printer, const OwnAddress& own) {
    if (tindrel::sameAddress(printer, own.address))
        return true;
    if (!tindrel::isAnyAddress(own.address))
        return false;
    if (printer.family != own.address.family && !own.dual)
        return false;
    return isThisHost(printer);
}

// An address with "%" names the interface of a link-local address; the
// interface must be one this host has.
bool refusedScope(KeyRow r, const tindrel::NetAddress& parsed) {
    const std::string text = settingText(r);
    size_t percent = text.find('%');
    if (percent == std::string::npos || parsed.family != AF_UNSPEC)
        return false;
    refuse(std::string(keyTable[r].comando) + " \"" + text + "\" names the interface \"" +
           text.substr(percent + 1) +
           "\", which this host does not have; name an interface of this host (ip link shows "
           "them), such as fe80::7%eth0");
    return true;
}

int checkAddresses(int listener) {
    int refused = 0;
    if (listener < 0) {
        if (refusedScope(kProxyIp, conf.proxy_ip)) {
            refused = 1;
        } else if (conf.proxy_ip.family == AF_UNSPEC) {
            refuse("proxy-ip \"" + settingText(kProxyIp) +
                   "\" is not an IPv4 or IPv6 address; write it as numbers, such as 0.0.0.0, :: "
                   "or 127.0.0.1");
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
    return refused;
}

// A printer-ip that is no address literal must be a host name; digits and
// dots alone are an address, and a short one is never taken as shorthand. A
// link-local address reaches nothing without its interface.
int checkPrinterAddress() {
    if (!conf.use_printer)
        return 0;
    if (tindrel::isLinkLocal(conf.printer_ip) && conf.printer_ip.scope == 0) {
        refuse("printer-ip " + tindrel::addressText(conf.printer_ip) +
               " is link-local and names no interface, so no connection can reach it; add the "
               "interface, such as " +
               tindrel::addressText(conf.printer_ip) + "%eth0");
        return 1;
    }
    if (conf.printer_ip.family != AF_UNSPEC)
        return 0;
    if (refusedScope(kPrinterIp, conf.printer_ip))
        return 1;
    if (tindrel::digitsAndDots(conf.printer_host)) {
        refuse("printer-ip \"" + settingText(kPrinterIp) +
               "\" is not a full IPv4 address; write all four numbers, such as 192.0.2.7");
        return 1;
    }
    if (!tindrel::validHostName(conf.printer_host)) {
        refuse("printer-ip \"" + settingText(kPrinterIp) +
               "\" is neither an IPv4 or IPv6 address nor a host name; write the printer's "
               "address, such as 192.0.2.7 or 2001:db8::7, or its name");
        return 1;
    }
    return 0;
}

// The printer's addresses as known at start: its literal, or what its name
// resolves to now. A name that does not resolve is only warned about: the
// name server may come up later, and each job looks the name up again.
std::vector<tindrel::NetAddress> printerAddresses() {
    std::vector<tindrel::NetAddress> found;
    if (!conf.use_printer)
        return found;
    if (conf.printer_ip.family != AF_UNSPEC) {
        found.push_back(conf.printer_ip);
        return found;
    }
    if (!tindrel::validHostName(conf.printer_host))
        return found;
    std::string why;
    if (tindrel::resolveHost(conf.printer_host, kLookupSeconds, found, why) != 0)
        warn("printer-ip \"" + conf.printer_host + "\" does not resolve now (" + why +
             "); jobs look the name up again, and find no printer while it does not resolve");
    return found;
}

int checkNotItself(int listener, const std::vector<tindrel::NetAddress>& printers) {
    const OwnAddress own = ownAddress(listener);
    if (conf.printer_port != own.address.port)
        return 0;
    for (const tindrel::NetAddress& printer : printers) {
        if (!reachesProxy(printer, own))
            continue;
        std::string shown = tindrel::addressText(printer);
        if (!conf.printer_host.empty())
            shown = conf.printer_host + " (" + shown + ")";
        refuse("printer-ip " + shown + " and printer-port " + portText(conf.printer_port) +
               " name this proxy itself (it listens on " + tindrel::addressText(own.address) +
               " port " + portText(own.address.port) +
               "), so every job would loop back to it; set printer-ip and printer-port to the "
               "printer");
        return 1;
    }
    return 0;
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
    if (conf.proxy_ip.family == AF_UNSPEC)
        return 0; // refused already
    tindrel::NetAddress own = conf.proxy_ip;
    own.port = conf.proxy_port;
    sockaddr_storage address{};
    socklen_t length = tindrel::toSockaddr(own, address);
    tindrel::UniqueFd fd(socket(own.family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd.valid() && bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) == 0)
        return 0;
    refuse("proxy-ip " + tindrel::addressText(conf.proxy_ip) + " port " +
           std::to_string(ntohs(conf.proxy_port)) + " cannot be bound by the run user " +
           conf.user_name + ": " + std::strerror(errno));
    return 1;
}

// A file the run user appends to, as the daemon will: it may be missing
// when its folder lets the run user create it.
int checkAppendable(const std::string& path, const std::string& what, const std::string& setting) {
    if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0)
        return 0;
    if (errno == ENOENT) {
        size_t slash = path.rfind('/');
        std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0)
            return 0;
    }
    refuse(what + " " + path + " cannot be opened for appending by the run user " + conf.user_name +
           ": " + std::strerror(errno) + "; set " + setting);
    return 1;
}

// The job log, opened for appending as each line opens it.
int checkLog() {
    const std::string& path = conf.logfile_path;
    if (path.empty() || path.back() == '/')
        return 0;
    return checkAppendable(path, "job log", "logfile (and working-dir)");
}

bool existsButNotRegular(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

// Records go only into a regular file: a FIFO would hold the job that
// writes, a directory or a device would lose every record.
int checkAccountingFile() {
    if (conf.accounting_path.empty() || !existsButNotRegular(conf.accounting_path))
        return 0;
    refuse("accounting file " + conf.accounting_path +
           " is not a regular file; set accounting to a file (or leave it empty for no records)");
    return 1;
}

// printer-status names how the printer is asked about its jobs.
int checkPrinterStatus() {
    const std::string value(tindrel::trimEnd(settingText(kPrinterStatus)));
    if (value != "off" && value != "pjl") {
        refuse("printer-status \"" + settingText(kPrinterStatus) +
               "\" is neither off nor pjl; set printer-status = pjl for a printer that reports "
               "its jobs in PJL, or off");
        return 1;
    }
    if (conf.pjl_status && !conf.use_printer)
        warn("printer-status pjl asks a network printer; the device printer-dev gets its jobs as "
             "they are");
    return 0;
}

void warnIdleTime() {
    if (conf.idle_time < 0)
        warn("idletime " + std::to_string(conf.idle_time) +
             " is taken as 0, which ends a job at the first moment no data is waiting, and "
             "printer attempts follow each other without pause");
    else if (conf.idle_time == 0)
        warn("idletime 0 ends a job at the first moment no data is waiting, and printer attempts "
             "follow each other without pause");
}

// The metrics file is replaced by a rename in its folder, so the folder
// must be writable. Never a refusal: jobs print without it, and the folder
// may come with the node exporter later.
void warnMetrics() {
    const std::string& path = conf.metrics_path;
    if (path.empty())
        return;
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0)
        return;
    warn("metrics folder " + folder + " cannot be written by the run user " + conf.user_name +
         " (" + std::strerror(errno) + "); jobs are served without the metrics file " + path);
}

void warnChecks() {
    if (!conf.local.empty() && faccessat(AT_FDCWD, conf.local.c_str(), R_OK, AT_EACCESS) != 0)
        refuse("warning: user database " + conf.local + " cannot be read (" + std::strerror(errno) +
               "); face pages will show no office or phone");
    warnMetrics();
}

// How long -t gives the printer to connect and to answer.
constexpr int kProbeSeconds = 3;

// -t with printer-status pjl asks the printer for its model: an answer shows
// that it speaks PJL. An unreachable printer is only warned about, as at
// every start: the daemon holds jobs until it comes up.
void probePrinter() {
    if (!conf.use_printer || !conf.pjl_status)
        return;
    std::vector<tindrel::NetAddress> addresses{conf.printer_ip};
    std::string why;
    if (!conf.printer_host.empty() &&
        tindrel::resolveHost(conf.printer_host, kLookupSeconds, addresses, why) != 0)
        return; // warned about already
    tindrel::UniqueFd printer;
    for (tindrel::NetAddress address : addresses) {
        address.port = conf.printer_port;
        bool created = false;
        printer = tindrel::connectBounded(address, kProbeSeconds, created);
        if (printer.valid())
            break;
        why = std::strerror(errno);
    }
    const std::string shown = configuredTarget();
    if (!printer.valid()) {
        warn("printer-status pjl: the printer " + shown + " cannot be reached now (" + why +
             "); jobs are held until it can");
        return;
    }
    const std::string ask = std::string(kUel) + "@PJL INFO ID\r\n" + std::string(kUel);
    BackChannel channel;
    std::string relay;
    std::vector<PrinterMessage> messages;
    if (tindrel::sendAll(printer.get(), ask) == ask.size()) {
        char buffer[1024];
        pollfd p{printer.get(), POLLIN, 0};
        while (messages.empty() && tindrel::waitReadable(&p, 1, kProbeSeconds) > 0) {
            ssize_t got = tindrel::recvSome(printer.get(), buffer, sizeof buffer);
            if (got <= 0)
                break;
            readBackChannel(channel, BackChannelRules{}, std::string_view(buffer, got), relay,
                            messages);
        }
    }
    for (const PrinterMessage& m : messages) {
        if (m.kind == PrinterMessage::Kind::Info && !m.text.empty()) {
            std::string line = "tindrel: printer-status pjl: the printer answers: " + m.text + "\n";
            std::fputs(line.c_str(), stdout);
            return;
        }
    }
    warn("printer-status pjl: the printer " + shown +
         " gave no PJL answer to @PJL INFO ID within " + std::to_string(kProbeSeconds) +
         " seconds; it may not report its jobs, and each job then waits idletime for its word");
}

} // namespace

int checkOnly() {
    int refused = checkServing(-1);
    refused |= checkBind();
    refused |= checkLog();
    if (!conf.accounting_path.empty() && !existsButNotRegular(conf.accounting_path))
        refused |= checkAppendable(conf.accounting_path, "accounting file",
                                   "accounting (and working-dir)");
    warnChecks();
    probePrinter();
    return refused;
}

int checkServing(int listener) {
    int refused = checkAddresses(listener);
    refused |= checkCutPaths();
    refused |= checkPrinterAddress();
    refused |= checkNotItself(listener, printerAddresses());
    refused |= checkTemplate();
    refused |= checkAccountingFile();
    refused |= checkPrinterStatus();
    warnIdleTime();
    return refused;
}
