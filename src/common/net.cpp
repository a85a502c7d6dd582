// Bounded waits and connection endings shared by the job loops.
#include "common/io.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <time.h>

namespace tindrel {

namespace {

timespec monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

timespec timeLeft(const timespec& deadline) {
    timespec now = monotonicNow();
    timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
        left.tv_nsec += 1000000000L;
        left.tv_sec -= 1;
    }
    if (left.tv_sec < 0)
        left = timespec{0, 0};
    return left;
}

const sigset_t* wait_mask = nullptr;

} // namespace

void setWaitMask(const sigset_t* mask) {
    wait_mask = mask;
}

int waitReady(pollfd* fds, nfds_t count, int seconds) {
    for (nfds_t i = 0; i < count; ++i)
        fds[i].revents = 0;
    timespec deadline = monotonicNow();
    deadline.tv_sec += seconds;
    for (;;) {
        timespec left = timeLeft(deadline);
        int ready = ppoll(fds, count, &left, wait_mask);
        if (ready >= 0 || errno != EINTR)
            return ready;
    }
}

int waitReadable(pollfd* fds, nfds_t count, int seconds) {
    for (nfds_t i = 0; i < count; ++i)
        fds[i].events = POLLIN;
    return waitReady(fds, count, seconds);
}

void pauseSeconds(int seconds) {
    timespec left{seconds, 0};
    while (nanosleep(&left, &left) < 0 && errno == EINTR) {
    }
}

void closeConnection(UniqueFd& fd) {
    if (!fd.valid())
        return;
    shutdown(fd.get(), SHUT_RDWR);
    fd.reset();
}

void resetConnection(UniqueFd& fd) {
    if (!fd.valid())
        return;
    linger abort{1, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    fd.reset();
}

UniqueFd connectBounded(const NetAddress& address, int seconds, bool& created, WaitFn wait) {
    sockaddr_storage peer{};
    socklen_t length = toSockaddr(address, peer);
    UniqueFd fd(socket(peer.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    created = fd.valid();
    if (!created)
        return fd;
    int rc = connect(fd.get(), reinterpret_cast<const sockaddr*>(&peer), length);
    if (rc != 0 && errno != EINPROGRESS && errno != EINTR)
        return UniqueFd();
    if (rc != 0) {
        pollfd p{fd.get(), POLLOUT, 0};
        int ready = wait(&p, 1, seconds);
        if (ready <= 0) {
            if (ready == 0)
                errno = ETIMEDOUT;
            return UniqueFd();
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            return UniqueFd();
        if (err != 0) {
            errno = err;
            return UniqueFd();
        }
    }
    // The job's sends to the printer block: a printer that is out of paper
    // may stop reading for minutes, and the job must still arrive whole.
    if (!setBlocking(fd.get(), true))
        return UniqueFd();
    return fd;
}

bool setBlocking(int fd, bool blocking) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    flags = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
    return fcntl(fd, F_SETFL, flags) == 0;
}

} // namespace tindrel
