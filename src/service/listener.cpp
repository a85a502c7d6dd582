// The listening socket and the pieces both job loops share: accepting a
// client, the readiness wait and the pause between printer attempts.
#include "service/service.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "startup/startup.h"

namespace {

// A connection must never land on descriptor 0, which the face-page senders
// take to mean "write to the device file", nor on 1 or 2, where console
// messages would go into it. Started with any of them closed, park /dev/null
// there first.
void occupyStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd)
            close(null_fd); // a lower one was closed meanwhile; nothing to fix
    }
}

// The accept errors that accept(2) says to retry: an interruption, a client
// that went away before it was taken, and network errors Linux passes on
// from the pending connection.
bool acceptRetryable(int err) {
    switch (err) {
    case EINTR:
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

timespec monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

} // namespace

int openListener(const char* failure_text) {
    occupyStandardDescriptors();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror(failure_text);
        exit(1);
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = conf.proxy_ip;
    address.sin_port = conf.proxy_port;
    // Without a bound address listen would pick a port nobody knows.
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        perror("bind: unable to bind the proxy service address");
        exit(1);
    }
    if (listen(fd, kBacklog) < 0) {
        perror("listen: unable to listen for print clients");
        exit(1);
    }
    return fd;
}

Client acceptClient(int listener) {
    Client client;
    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            client.fd.reset(fd);
            break;
        }
        if (!acceptRetryable(errno)) {
            std::puts("ACCEPT Error");
            exit(1);
        }
    }
    verboseLine("Requests arrived");

    // A peer that has already gone leaves the address at 0.0.0.0.
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    if (getpeername(client.fd.get(), reinterpret_cast<sockaddr*>(&peer), &peer_len) < 0 ||
        peer.sin_family != AF_INET)
        peer.sin_addr.s_addr = 0;
    client.address = peer.sin_addr;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &client.address, text, sizeof text);
    client.client_ip = text;
    return client;
}

int idleSeconds() {
    return conf.idle_time < 0 ? 0 : conf.idle_time;
}

int waitReadable(pollfd* fds, nfds_t count, int seconds) {
    for (nfds_t i = 0; i < count; ++i) {
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    timespec deadline = monotonicNow();
    deadline.tv_sec += seconds;
    for (;;) {
        timespec now = monotonicNow();
        timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
        if (left.tv_nsec < 0) {
            left.tv_nsec += 1000000000L;
            left.tv_sec -= 1;
        }
        if (left.tv_sec < 0)
            left = timespec{0, 0};
        int ready = ppoll(fds, count, &left, nullptr);
        if (ready >= 0 || errno != EINTR)
            return ready;
    }
}

void pauseSeconds(int seconds) {
    timespec left{seconds, 0};
    while (nanosleep(&left, &left) < 0 && errno == EINTR) {
    }
}

void verboseLine(const char* line) {
    if (!verbose)
        return;
    std::puts(line);
    std::fflush(stdout);
}

void closeConnection(tindrel::UniqueFd& fd) {
    if (!fd.valid())
        return;
    shutdown(fd.get(), SHUT_RDWR);
    fd.reset();
}

std::string sentBytesText(int64_t bytes_sent) {
    return ": Sent bytes =[" + std::to_string(bytes_sent) + "]";
}
