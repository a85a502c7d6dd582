// The printer relay: for each client, connect to the printer, send the face
// page, then move the job's bytes to the printer and its answers back.
#include "service/service.h"

#include <cstdio>
#include <ctime>
#include <optional>
#include <sys/socket.h>

#include "settings/settings.h"

namespace {

std::string clockText(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[8] = {};
    std::strftime(text, sizeof text, "%H:%M", &local);
    return text;
}

// The pause between attempts watches the held client instead of sleeping: a
// client that resets or aborts ends the hold at once, and so does a stop
// request. A client that only half-closed after its job still waits.
std::optional<JobEnd> holdClient(const JobLimits& limits, Client& client) {
    pollfd p{client.fd.get(), 0, 0}; // only an error or a hang-up is reported
    int ready = waitInJob(&p, 1, limits.idle_seconds, 0);
    if (ready == kStoppedWait)
        return JobEnd::Stopped;
    if (ready > 0 && (p.revents & (POLLERR | POLLHUP)) != 0)
        return JobEnd::ClientGaveUp;
    return std::nullopt;
}

} // namespace

// Attempts are numbered from 0; after a failed attempt k another follows
// while k < retries. Each attempt takes a fresh socket, since one whose
// connect failed cannot portably be connected again.
std::optional<JobEnd> connectPrinter(const JobLimits& limits, Client& client,
                                     tindrel::UniqueFd& printer) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = conf.printer_ip;
    address.sin_port = conf.printer_port;
    const std::time_t since = std::time(nullptr);
    for (int attempt = 0;; ++attempt) {
        bool created = false;
        printer = tindrel::connectBounded(address, limits.connect_seconds, created);
        if (!created) {
            perror("socket: unable to create a TCP socket to printer\n");
            return JobEnd::NoPrinterSocket;
        }
        if (printer.valid())
            return std::nullopt;
        if (attempt >= limits.retries)
            return JobEnd::PrinterUnreachable;
        if (verbose) {
            std::printf("Trying printer: %d\n", attempt);
            std::fflush(stdout);
        }
        notifyStatus("Printer unreachable since " + clockText(since) + ", holding the job of " +
                     client.client_ip + " (attempt " + std::to_string(attempt + 1) + " of " +
                     std::to_string(limits.retries + 1) + ")");
        if (std::optional<JobEnd> ended = holdClient(limits, client))
            return ended;
    }
}

int relayPrinter(int listener) {
    int64_t bytes_sent = 0;
    for (;;) {
        verboseLine("waiting for requests");
        std::optional<Client> next = acceptClient(listener);
        if (!next)
            return 0;
        startJobSignals();
        JobEnd end = serveJob(*next, TargetKind::Printer, bytes_sent);
        endJobSignals();
        // An unreachable printer ends the service; a socket that could not
        // be made (descriptors ran out) or a client that gave up only this job.
        if (end == JobEnd::PrinterUnreachable)
            return 0;
    }
}
