// The orderly stop: SIGTERM, SIGINT and SIGHUP ask for it. They stay blocked
// except inside the daemon's waits, which let them in, so a request is never
// lost between a look at it and the wait, and a pass of a job makes no
// system call for them.
#include "service/service.h"

#include <csignal>
#include <time.h>

#include "facepage/facepage.h"

namespace {

volatile sig_atomic_t stop_signals = 0;
timespec stop_time{};  // when the first stop request came (monotonic)
sigset_t waiting_mask; // the process's mask with the stop signals let through

void onStopSignal(int sig) {
    if (stop_signals > 0) {
        // Asked twice: the job in progress is given up, and a name lookup
        // with it, so that nothing holds the listening socket.
        if (lookupChild > 0)
            kill(lookupChild, SIGKILL);
        std::signal(sig, SIG_DFL);
        // Blocked outside waits: the raised signal must end the process now.
        sigset_t own;
        sigemptyset(&own);
        sigaddset(&own, sig);
        sigprocmask(SIG_UNBLOCK, &own, nullptr);
        raise(sig);
        return;
    }
    clock_gettime(CLOCK_MONOTONIC, &stop_time); // async-signal-safe
    stop_signals = 1;
}

} // namespace

void installStopHandling() {
    sigset_t stop_set;
    sigemptyset(&stop_set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&stop_set, sig);
    sigprocmask(SIG_BLOCK, &stop_set, &waiting_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigdelset(&waiting_mask, sig);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &action, nullptr);
    // The waits of common/ (a name lookup, a send to the client) take the
    // signals too: a second one ends the daemon there as well.
    tindrel::setWaitMask(&waiting_mask);
}

bool stopRequested() {
    return stop_signals != 0;
}

const sigset_t* stopWaitMask() {
    return &waiting_mask;
}

double secondsSinceStop() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - stop_time.tv_sec) +
           static_cast<double>(now.tv_nsec - stop_time.tv_nsec) / 1e9;
}
