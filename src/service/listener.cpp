// The listening socket and the pieces both job loops share: accepting a
// client, the bounds of a job, how it ends, and the orderly stop.
#include "service/service.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "joblog/joblog.h"
#include "settings/settings.h"

namespace {

volatile sig_atomic_t stop_signals = 0;
sigset_t stop_set;     // SIGTERM, SIGINT, SIGHUP
sigset_t waiting_mask; // the mask with those let through

void onStopSignal(int sig) {
    if (stop_signals > 0) {
        // Asked twice: the job in progress is given up.
        std::signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    stop_signals = 1;
}

// The accept errors that accept(2) says to retry: an interruption, a client
// that went away before it was taken, and network errors Linux passes on
// from the pending connection.
bool acceptRetryable(int err) {
    switch (err) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

// The connection stays queued and is taken once descriptors or memory are
// free again.
bool acceptShortOfResources(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// The client's address as accept reported it: a client that resets at once
// is still named. An IPv4 client of an IPv6 socket is taken as IPv4.
void nameClient(Client& client, const sockaddr_storage& peer, socklen_t length) {
    client.address = tindrel::fromSockaddr(reinterpret_cast<const sockaddr*>(&peer), length);
    client.client_ip = tindrel::addressText(client.address);
}

long jobs_served = 0;
std::string last_outcome;

void notifyWaiting() {
    std::string status = "Waiting for print jobs, " + std::to_string(jobs_served) + " served";
    if (!last_outcome.empty())
        status += "; last: " + last_outcome;
    notifyStatus(status);
}

} // namespace

void occupyStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd)
            close(null_fd); // a lower one was closed meanwhile; nothing to fix
    }
}

tindrel::UniqueFd openListener(const char* failure_text) {
    tindrel::NetAddress own = conf.proxy_ip;
    own.port = conf.proxy_port;
    sockaddr_storage address{};
    socklen_t length = tindrel::toSockaddr(own, address);
    tindrel::UniqueFd fd(socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        perror(failure_text);
        exit(1);
    }
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (own.family == AF_INET6) {
        // :: serves both families; any other IPv6 address only its own.
        int v6only = tindrel::isAnyAddress(own) ? 0 : 1;
        setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    }
    // Without a bound address listen would pick a port nobody knows.
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) < 0) {
        perror("bind: unable to bind the proxy service address");
        exit(1);
    }
    if (listen(fd.get(), kBacklog) < 0) {
        perror("listen: unable to listen for print clients");
        exit(1);
    }
    return fd;
}

void installStopHandling() {
    sigemptyset(&stop_set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&stop_set, sig);
    sigprocmask(SIG_BLOCK, &stop_set, &waiting_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigdelset(&waiting_mask, sig);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // Restarted calls keep device writes and name lookups whole; every wait
    // of a job is a ppoll, which a signal always ends, and then goes on.
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &action, nullptr);
}

void startJobSignals() {
    sigprocmask(SIG_UNBLOCK, &stop_set, nullptr);
}
void endJobSignals() {
    sigprocmask(SIG_BLOCK, &stop_set, nullptr);
}
bool stopRequested() {
    return stop_signals != 0;
}

std::optional<Client> acceptClient(int listener) {
    notifyWaiting();
    for (;;) {
        if (stopRequested())
            return std::nullopt;
        // No bound: waiting for the next client is what the daemon does when
        // idle. Stop signals get through only here, so none is missed.
        pollfd p{listener, POLLIN, 0};
        if (ppoll(&p, 1, nullptr, &waiting_mask) < 0) {
            if (errno == EINTR)
                continue;
            std::puts("ACCEPT Error");
            exit(1);
        }
        sockaddr_storage peer{};
        socklen_t peer_len = sizeof peer;
        int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC);
        if (fd >= 0) {
            Client client;
            client.fd.reset(fd);
            verboseLine("Requests arrived");
            nameClient(client, peer, peer_len);
            notifyStatus("Serving a job from " + client.client_ip);
            return client;
        }
        if (acceptShortOfResources(errno)) {
            perror("accept: out of descriptors or memory, retrying in a second");
            tindrel::pauseSeconds(1);
            continue;
        }
        if (!acceptRetryable(errno)) {
            std::puts("ACCEPT Error");
            exit(1);
        }
    }
}

JobLimits jobLimits() {
    JobLimits limits{};
    limits.idle_seconds = idleSeconds();
    limits.connect_seconds = limits.idle_seconds < 1 ? 1 : limits.idle_seconds;
    limits.client_send_seconds = limits.idle_seconds;
    limits.retries = conf.retry_printer;
    return limits;
}

const char* describe(JobEnd end) {
    switch (end) {
    case JobEnd::Delivered:
        return "delivered";
    case JobEnd::PrinterUnreachable:
        return "printer unreachable";
    case JobEnd::NoPrinterSocket:
        return "no socket for the printer";
    case JobEnd::DeviceUnavailable:
        return "printer device unavailable";
    case JobEnd::FacePageFailed:
        return "face page not sent";
    case JobEnd::PrinterFailed:
        return "printer stopped taking the job";
    case JobEnd::DeviceFailed:
        return "printer device refused a write";
    case JobEnd::ClientStalled:
        return "client stopped reading";
    }
    return "ended";
}

void finishJob(Client& client, JobEnd end) {
    if (end == JobEnd::Delivered)
        tindrel::closeConnection(client.fd);
    else
        tindrel::resetConnection(client.fd);
    ++jobs_served;
    last_outcome = "job from " + client.client_ip + " " + describe(end);
}

void refuseJob(Client& client, JobEnd end, const char* log_text) {
    finishJob(client, end);
    logPrint(log_text, std::nullopt, client.client_ip);
}

bool sendPageFor(Client& client, PageOutput& page) {
    sendFacePage(page, client.address, client.client_ip.c_str(), PageClaims{});
    if (page.template_unreadable) {
        finishJob(client, JobEnd::FacePageFailed);
        exit(1);
    }
    return page.whole;
}

int idleSeconds() {
    return conf.idle_time < 0 ? 0 : conf.idle_time;
}

void verboseLine(const char* line) {
    if (!verbose)
        return;
    std::puts(line);
    std::fflush(stdout);
}

std::string sentBytesText(int64_t bytes_sent) {
    return ": Sent bytes =[" + std::to_string(bytes_sent) + "]";
}
