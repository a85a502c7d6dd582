// The printer relay: for each client, connect to the printer, send the face
// page, then move the job's bytes to the printer and its answers back.
#include "service/service.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>
#include <sys/socket.h>
#include <vector>

#include "settings/settings.h"

namespace {

// The address of a printer name that took the last job: tried first, so a
// dead address the name also gives costs nothing while this one works.
tindrel::NetAddress last_taker;

// One connection attempt to the printer. A name is resolved anew (within
// kLookupSeconds), so a printer that moved is found; a name that does not
// resolve fails the attempt. Each address is tried in order. `created` as
// for connectBounded. A stop request ends the lookup and the connect.
tindrel::UniqueFd attemptPrinter(int seconds, bool& created, tindrel::NetAddress& took) {
    created = true;
    std::vector<tindrel::NetAddress> addresses{conf.printer_ip};
    if (!conf.printer_host.empty()) {
        std::string why;
        if (tindrel::resolveHost(conf.printer_host, kLookupSeconds, addresses, why, &lookupChild,
                                 waitUnlessStopped) != 0) {
            if (verbose) {
                std::string line = "connectPrinter: printer-ip " + conf.printer_host +
                                   " does not resolve: " + why + "\n";
                std::fputs(line.c_str(), stdout);
                std::fflush(stdout);
            }
            errno = EHOSTUNREACH;
            return tindrel::UniqueFd();
        }
        auto known = std::find_if(addresses.begin(), addresses.end(), [](const auto& a) {
            return tindrel::sameAddress(a, last_taker);
        });
        if (known != addresses.end())
            std::rotate(addresses.begin(), known, known + 1);
    }
    for (tindrel::NetAddress address : addresses) {
        if (stopRequested())
            break;
        address.port = conf.printer_port;
        tindrel::UniqueFd printer =
            tindrel::connectBounded(address, seconds, created, waitUnlessStopped);
        if (printer.valid()) {
            took = address;
            last_taker = address;
        }
        if (printer.valid() || !created)
            return printer;
    }
    return tindrel::UniqueFd();
}

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
                                     tindrel::UniqueFd& printer, tindrel::NetAddress& took) {
    const std::time_t since = std::time(nullptr);
    for (int attempt = 0;; ++attempt) {
        bool created = false;
        printer = attemptPrinter(limits.connect_seconds, created, took);
        if (!created) {
            perror("socket: unable to create a TCP socket to printer\n");
            return JobEnd::NoPrinterSocket;
        }
        if (printer.valid())
            return std::nullopt;
        if (stopRequested())
            return JobEnd::Stopped;
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
        JobEnd end = serveJob(*next, TargetKind::Printer, bytes_sent);
        // An unreachable printer ends the service (a service manager starts
        // it again); a socket that could not be made (descriptors ran out)
        // or a client that gave up ends only this job.
        if (end == JobEnd::PrinterUnreachable) {
            const std::string line = "tindrel: printer " + configuredTarget() +
                                     " unreachable after " +
                                     std::to_string(std::max(conf.retry_printer, 0) + 1) +
                                     " attempts; the service ends\n";
            std::fputs(line.c_str(), stderr);
            return 0;
        }
    }
}
