// The printer relay: for each client, connect to the printer, send the face
// page, then move the job's bytes to the printer and its answers back.
#include "service/service.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sys/socket.h>
#include <vector>

#include "facepage/facepage.h"
#include "joblog/joblog.h"
#include "settings/settings.h"

namespace {

// One connection attempt to the printer. A name is resolved anew (within
// kLookupSeconds), so a printer that moved is found; a name that does not
// resolve fails the attempt. Each address is tried in order. `created` as
// for connectBounded.
tindrel::UniqueFd attemptPrinter(int seconds, bool& created) {
    created = true;
    std::vector<tindrel::NetAddress> addresses{conf.printer_ip};
    if (!conf.printer_host.empty()) {
        std::string why;
        if (tindrel::resolveHost(conf.printer_host, kLookupSeconds, addresses, why) != 0) {
            if (verbose) {
                std::string line = "connectPrinter: printer-ip " + conf.printer_host +
                                   " does not resolve: " + why + "\n";
                std::fputs(line.c_str(), stdout);
                std::fflush(stdout);
            }
            errno = EHOSTUNREACH;
            return tindrel::UniqueFd();
        }
    }
    for (tindrel::NetAddress address : addresses) {
        address.port = conf.printer_port;
        tindrel::UniqueFd printer = tindrel::connectBounded(address, seconds, created);
        if (printer.valid() || !created)
            return printer;
    }
    return tindrel::UniqueFd();
}

// Attempts are numbered from 0; after a failed attempt k another follows
// while k < retries. Each attempt takes a fresh socket, since one whose
// connect failed cannot portably be connected again. Returns how the job
// ended when no connection was made.
std::optional<JobEnd> connectPrinter(const JobLimits& limits, tindrel::UniqueFd& printer) {
    for (int attempt = 0;; ++attempt) {
        bool created = false;
        printer = attemptPrinter(limits.connect_seconds, created);
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
        tindrel::pauseSeconds(limits.idle_seconds);
    }
}

// Relays until the job ends. Once the client has finished sending, the
// printer gets an end of stream and its remaining answers still go back to
// the client, until the printer closes or stays silent for the idle time:
// closing a socket with unread data would reset it and lose queued bytes.
// Only what the printer took is counted.
JobEnd relayJob(const JobLimits& limits, int client, int printer, int64_t& bytes_sent) {
    char buffer[kChunk];
    bool client_sending = true;
    for (;;) {
        pollfd fds[2] = {{printer, POLLIN, 0}, {client, POLLIN, 0}};
        int ready = tindrel::waitReadable(fds, client_sending ? 2 : 1, limits.idle_seconds);
        if (ready < 0) {
            perror("select()");
            return JobEnd::Delivered;
        }
        if (ready == 0)
            return JobEnd::Delivered;

        if (client_sending && tindrel::readable(fds[1])) {
            ssize_t got = tindrel::recvSome(client, buffer, kChunk);
            if (got <= 0) {
                verboseLine("Closing socket to printer");
                client_sending = false;
                shutdown(printer, SHUT_WR);
            } else {
                size_t want = static_cast<size_t>(got);
                size_t sent = tindrel::sendAll(printer, buffer, want);
                bytes_sent += static_cast<int64_t>(sent);
                if (sent < want)
                    return JobEnd::PrinterFailed;
            }
        }
        if (tindrel::readable(fds[0])) {
            ssize_t got = tindrel::recvSome(printer, buffer, kChunk);
            // A reset is no end of the job: the printer may have lost it.
            if (got < 0)
                return JobEnd::PrinterFailed;
            if (got == 0) {
                verboseLine("Printer sent a FIN. Closing!");
                return JobEnd::Delivered;
            }
            std::string_view answer(buffer, static_cast<size_t>(got));
            if (tindrel::sendAllBounded(client, answer, limits.client_send_seconds) < answer.size())
                return JobEnd::ClientStalled;
        }
    }
}

} // namespace

int relayPrinter(int listener) {
    int64_t bytes_sent = 0;
    for (;;) {
        verboseLine("waiting for requests");
        std::optional<Client> next = acceptClient(listener);
        if (!next)
            return 0;
        Client& client = *next;
        startJobSignals();
        verboseLine("One more printing throught network");
        const JobLimits limits = jobLimits();

        tindrel::UniqueFd printer;
        if (std::optional<JobEnd> refused = connectPrinter(limits, printer)) {
            refuseJob(client, *refused, "Unable to connect printer");
            // An unreachable printer ends the service; a socket that could
            // not be made (descriptors ran out) only this job.
            if (*refused == JobEnd::PrinterUnreachable)
                return 0;
            endJobSignals();
            continue;
        }

        PageOutput page;
        page.socket = printer.get();
        JobEnd end = sendPageFor(client, page)
                         ? relayJob(limits, client.fd.get(), printer.get(), bytes_sent)
                         : JobEnd::FacePageFailed;

        finishJob(client, end);
        tindrel::closeConnection(printer);
        logPrint(sentBytesText(bytes_sent), std::nullopt, client.client_ip);
        endJobSignals();
    }
}
