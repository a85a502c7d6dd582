// The waits of a job and of the loop between jobs: each is bounded, and each
// lets the stop signals in.
#include "service/service.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <time.h>

#include "settings/settings.h"

double monotonicSeconds() {
    // The coarse clock is read from memory, without the hardware clock: a
    // pass of a job reads it, and its few milliseconds are exact enough.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

namespace {

timespec asTimespec(double seconds) {
    if (seconds < 0)
        seconds = 0;
    double whole = std::floor(seconds);
    return timespec{static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
}

} // namespace

JobLimits jobLimits() {
    JobLimits limits{};
    limits.idle_seconds = idleSeconds();
    limits.connect_seconds = limits.idle_seconds < 1 ? 1 : limits.idle_seconds;
    limits.client_send_seconds = limits.idle_seconds;
    limits.retries = conf.retry_printer;
    return limits;
}

int idleSeconds() {
    return conf.idle_time < 0 ? 0 : conf.idle_time;
}

int waitForClient(pollfd& listener) {
    for (;;) {
        if (stopRequested())
            return kStoppedWait;
        int ready = ppoll(&listener, 1, nullptr, stopWaitMask());
        if (ready >= 0 || errno != EINTR)
            return ready;
    }
}

int waitInJob(pollfd* fds, nfds_t count, double seconds, int grace) {
    for (nfds_t i = 0; i < count; ++i)
        fds[i].revents = 0;
    const double start = monotonicSeconds();
    double left = seconds; // a pass of a job reads the clock once
    for (;;) {
        // The stop signals are blocked here and let in by ppoll alone, so a
        // request that comes after this look still ends the wait.
        const bool stopping = stopRequested();
        if (stopping) {
            double grace_left = grace - secondsSinceStop();
            if (grace_left <= 0)
                return kStoppedWait;
            left = std::min(left, grace_left);
        }
        timespec wait = asTimespec(left);
        int ready = ppoll(fds, count, &wait, stopWaitMask());
        if (ready > 0)
            return ready;
        if (ready == 0 && (!stopRequested() || monotonicSeconds() - start >= seconds))
            return 0;
        if (ready < 0 && errno != EINTR)
            return -1;
        left = seconds - (monotonicSeconds() - start);
    }
}

int waitUnlessStopped(pollfd* fds, nfds_t count, int seconds) {
    int ready = waitInJob(fds, count, seconds, 0);
    if (ready == kStoppedWait) {
        errno = EINTR;
        return -1;
    }
    return ready;
}

size_t putWhole(int fd, std::string_view piece, ssize_t (*put)(int, const void*, size_t)) {
    size_t done = 0;
    while (done < piece.size()) {
        ssize_t n = put(fd, piece.data() + done, piece.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            break;
        // Only a stop request bounds this wait, by its grace: a printer out
        // of paper may take nothing for minutes, and the job must arrive whole.
        pollfd room{fd, POLLOUT, 0};
        if (waitInJob(&room, 1, 3600, kStopGraceSeconds) < 0)
            break;
    }
    return done;
}
