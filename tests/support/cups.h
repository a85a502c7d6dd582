// A private CUPS scheduler for one test: cupsd in the foreground with its
// configuration, spool, cache, state, logs and PID file in a fresh directory,
// listening on 127.0.0.1 only, without browsing or a local socket, so that it
// shares nothing with a system cupsd. It runs print queues whose backend is
// CUPS's JetDirect client, "socket".
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "support/support.h"

namespace testsupport {

// CUPS's socket backend: TINDREL_CUPS_BACKEND, the one that
// scripts/fetch-cups-backend.sh unpacks, or an installed one; "" when none.
std::string cupsSocketBackend();

class PrivateCups {
public:
    // Why no private scheduler can run here, or "" when one can.
    static std::string unavailable();
    // Starts it and waits until it listens; started() tells whether it did.
    PrivateCups();
    // Stops it with SIGTERM, which ends its backends, and reaps it.
    ~PrivateCups();
    PrivateCups(const PrivateCups&) = delete;
    PrivateCups& operator=(const PrivateCups&) = delete;

    bool started() const { return started_; }
    uint16_t port() const { return port_; }
    // Adds an enabled raw queue (no filters: the file goes to the backend as
    // it is) whose device is `uri`, such as socket://127.0.0.1:9100; the
    // backend's options follow a slash: socket://127.0.0.1:9100/?waiteof=false.
    bool addRawQueue(const std::string& queue, const std::string& uri);
    // Submits the file to the queue: the job's id, or -1.
    int submit(const std::string& queue, const std::string& file);
    // The job's "job-state": pending, pending-held, processing,
    // processing-stopped, canceled, aborted or completed; "" when unknown.
    std::string jobState(int job);
    // Polls the job until its state is `state` and returns the moment the
    // poll saw it (CUPS changed it at most one poll, about 60 ms, earlier).
    // Nothing when the time ran out or the job ended in another state.
    std::optional<Clock::time_point> waitJobState(int job, std::string_view state,
                                                  double seconds = 30);
    std::string errorLog() const { return dir_.read("error_log"); }

private:
    TempDir dir_;
    std::unique_ptr<Process> cupsd_;
    uint16_t port_ = 0;
    bool started_ = false;
};

} // namespace testsupport
