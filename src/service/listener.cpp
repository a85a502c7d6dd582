// The listening socket and the pieces both job loops share: accepting a
// client, the bounds of a job, how it ends, and the orderly stop.
#include "service/service.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "joblog/joblog.h"
#include "settings/settings.h"

namespace {

volatile sig_atomic_t stop_signals = 0;
timespec stop_time{};  // when the first stop request came (monotonic)
sigset_t stop_set;     // SIGTERM, SIGINT, SIGHUP
sigset_t waiting_mask; // the mask with those let through

void onStopSignal(int sig) {
    if (stop_signals > 0) {
        // Asked twice: the job in progress is given up, and a name lookup
        // with it, so that nothing holds the listening socket.
        if (lookupChild > 0)
            kill(lookupChild, SIGKILL);
        std::signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    clock_gettime(CLOCK_MONOTONIC, &stop_time); // async-signal-safe
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

namespace {

struct EndRow {
    JobEnd end;
    const char* name; // in the job's record
    const char* text; // the job-log line; none for a delivery
};
// clang-format off
constexpr EndRow kEnds[] = {
    {JobEnd::Delivered, "delivered", nullptr},
    {JobEnd::PrinterUnreachable, "printer-unreachable", "Unable to connect printer"},
    {JobEnd::NoPrinterSocket, "no-printer-socket", "Unable to connect printer"},
    {JobEnd::DeviceUnavailable, "device-unavailable", "Unable to open printer device"},
    {JobEnd::FacePageFailed, "face-page-failed", "Printer failed during the job"},
    {JobEnd::PrinterFailed, "printer-failed", "Printer failed during the job"},
    {JobEnd::DeviceFailed, "device-failed", "Unable to write printer device"},
    {JobEnd::ClientStalled, "client-stalled", "Client did not take the printer's answers"},
    {JobEnd::ClientGaveUp, "client-gave-up", "Client gave up while the printer was unreachable"},
    {JobEnd::IdleTimeOut, "idle-time-out", "Job ended after idletime seconds without data"},
    {JobEnd::Stopped, "stopped", "Stopped before the job was done"},
    {JobEnd::Empty, "empty", "No job data: no face page"},
};
// clang-format on

const EndRow& endRow(JobEnd end) {
    for (const EndRow& row : kEnds)
        if (row.end == end)
            return row;
    return kEnds[0];
}

double secondsSince(const timespec& then) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - then.tv_sec) +
           static_cast<double>(now.tv_nsec - then.tv_nsec) / 1e9;
}

} // namespace

const char* outcomeName(JobEnd end) {
    return endRow(end).name;
}

const char* lostJobText(JobEnd end) {
    return endRow(end).text;
}

std::vector<std::string> outcomeNames() {
    std::vector<std::string> names;
    for (const EndRow& row : kEnds)
        names.emplace_back(row.name);
    return names;
}

int waitInJob(pollfd* fds, nfds_t count, int seconds, int grace) {
    for (nfds_t i = 0; i < count; ++i)
        fds[i].revents = 0;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        double left = seconds - secondsSince(start);
        sigset_t old;
        // Blocked while the request is looked at; ppoll lets it through, so
        // a request between the look and the wait is not missed.
        sigprocmask(SIG_BLOCK, &stop_set, &old);
        const bool stopping = stopRequested();
        if (stopping) {
            double grace_left = grace - secondsSince(stop_time);
            if (grace_left <= 0) {
                sigprocmask(SIG_SETMASK, &old, nullptr);
                return kStoppedWait;
            }
            left = std::min(left, grace_left);
        }
        if (left < 0)
            left = 0;
        timespec wait{
            static_cast<time_t>(left),
            static_cast<long>((left - static_cast<double>(static_cast<time_t>(left))) * 1e9)};
        int ready = ppoll(fds, count, &wait, stopping ? &old : &waiting_mask);
        int err = errno;
        sigprocmask(SIG_SETMASK, &old, nullptr);
        if (ready > 0 || (ready == 0 && (!stopRequested() || secondsSince(start) >= seconds)))
            return ready;
        if (ready < 0 && err != EINTR) {
            errno = err;
            return -1;
        }
    }
}

void finishJob(Client& client, JobEnd end) {
    if (end == JobEnd::Delivered || end == JobEnd::Empty || end == JobEnd::IdleTimeOut)
        tindrel::closeConnection(client.fd);
    else
        tindrel::resetConnection(client.fd);
    ++jobs_served;
    last_outcome = "job from " + client.client_ip + " " + outcomeName(end);
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
