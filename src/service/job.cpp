// One job's life, the same for the printer and the device: target, the
// start of the job, face page, body, end, log.
#include "service/service.h"

#include <cerrno>
#include <cstdio>
#include <sys/socket.h>
#include <time.h>

#include "facepage/facepage.h"
#include "jobheader/jobheader.h"
#include "joblog/joblog.h"
#include "settings/settings.h"

namespace {

long jobs_started = 0;

// What a job is learning about itself as it runs: its record, and the page
// count that may stand in its trailer.
struct JobFacts {
    JobRecord record;
    JobHeader header;
    PagesScanner pages;

    void received(std::string_view bytes) {
        record.received += bytes.size();
        scanPages(pages, bytes);
    }
};

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Every byte of the piece to the printer. A printer out of paper may stop
// reading for minutes, so only a stop request bounds the wait, by its grace.
size_t sendToPrinter(int printer, std::string_view piece) {
    size_t done = 0;
    while (done < piece.size()) {
        ssize_t n =
            send(printer, piece.data() + done, piece.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            break;
        pollfd room{printer, POLLOUT, 0};
        int ready = waitInJob(&room, 1, 3600, kStopGraceSeconds);
        if (ready < 0)
            break;
    }
    return done;
}

// Hands a piece of the job to the target; false when it did not take it all.
bool deliver(JobTarget& target, std::string_view piece, JobFacts& facts) {
    size_t taken = 0;
    bool whole = true;
    if (target.printer.valid()) {
        taken = sendToPrinter(target.printer.get(), piece);
        whole = taken == piece.size();
    } else {
        whole = writeDevice(target.device.get(), piece, taken);
    }
    facts.record.delivered += taken;
    return whole;
}

JobEnd targetFailed(const JobTarget& target) {
    if (target.printer.valid())
        return stopRequested() ? JobEnd::Stopped : JobEnd::PrinterFailed;
    return JobEnd::DeviceFailed;
}

// Finished: the client sent its bytes and closed its side during the read.
enum class StartRead { Taken, Finished, ClientClosed, Stopped };

// Reads the start of the job into `start`, bounded in bytes and seconds, so
// that the face page can follow the job's own header.
StartRead readJobStart(const JobLimits& limits, int client, std::string& start) {
    const int silence = std::min(kJobStartSilenceSeconds, limits.idle_seconds);
    const double deadline = monotonicSeconds() + (limits.idle_seconds == 0 ? 0 : kJobStartSeconds);
    char buffer[kChunk];
    while (start.size() < kJobStartMax && !headerEnded(start)) {
        // A silent client, one that never sent a byte included, gets its
        // face page once the silence bound has passed; the rest of its job
        // is then awaited under the idle time.
        double left = deadline - monotonicSeconds();
        if (left <= 0 && limits.idle_seconds != 0)
            break;
        int seconds = std::min(silence, static_cast<int>(left) + 1);
        pollfd p{client, POLLIN, 0};
        int ready = waitInJob(&p, 1, seconds, kStopGraceSeconds);
        if (ready == kStoppedWait)
            return StartRead::Stopped;
        if (ready <= 0)
            break;
        ssize_t got =
            tindrel::recvSome(client, buffer, std::min(kChunk, kJobStartMax - start.size()));
        if (got <= 0)
            return start.empty() ? StartRead::ClientClosed : StartRead::Finished;
        start.append(buffer, static_cast<size_t>(got));
    }
    return StartRead::Taken;
}

// Moves the client's bytes to the target and the printer's answers back. The
// printer's end of stream is no end of the job: it may only have half-closed,
// so the client's bytes still go out, and the job is delivered only when the
// client finished and every byte went out.
JobEnd relayBody(const JobLimits& limits, Client& client, JobTarget& target, JobFacts& facts,
                 bool client_done) {
    char buffer[kChunk];
    const bool printer = target.printer.valid();
    bool printer_open = printer;
    if (client_done && printer)
        shutdown(target.printer.get(), SHUT_WR);
    for (;;) {
        if (client_done && !printer_open)
            return JobEnd::Delivered;
        pollfd fds[2];
        nfds_t count = 0;
        int client_at = -1, printer_at = -1;
        if (!client_done) {
            client_at = static_cast<int>(count);
            fds[count++] = {client.fd.get(), POLLIN, 0};
        }
        if (printer_open) {
            printer_at = static_cast<int>(count);
            fds[count++] = {target.printer.get(), POLLIN, 0};
        }
        int ready = waitInJob(fds, count, limits.idle_seconds, kStopGraceSeconds);
        if (ready == kStoppedWait)
            return JobEnd::Stopped;
        if (ready < 0) {
            perror("select()");
            return client_done ? JobEnd::Delivered : JobEnd::IdleTimeOut;
        }
        if (ready == 0)
            return client_done ? JobEnd::Delivered : JobEnd::IdleTimeOut;

        if (client_at >= 0 && tindrel::readable(fds[client_at])) {
            ssize_t got = tindrel::recvSome(client.fd.get(), buffer, kChunk);
            if (got <= 0) {
                verboseLine("Closing socket to printer");
                client_done = true;
                if (printer)
                    shutdown(target.printer.get(), SHUT_WR);
            } else {
                std::string_view piece(buffer, static_cast<size_t>(got));
                facts.received(piece);
                if (!deliver(target, piece, facts))
                    return targetFailed(target);
            }
        }
        if (printer_at >= 0 && tindrel::readable(fds[printer_at])) {
            ssize_t got = tindrel::recvSome(target.printer.get(), buffer, kChunk);
            // A reset is no end of the job: the printer may have lost it.
            if (got < 0)
                return JobEnd::PrinterFailed;
            if (got == 0) {
                verboseLine("Printer sent a FIN. Closing!");
                printer_open = false;
                continue;
            }
            std::string_view answer(buffer, static_cast<size_t>(got));
            if (tindrel::sendAllBounded(client.fd.get(), answer, limits.client_send_seconds) <
                answer.size())
                return JobEnd::ClientStalled;
        }
    }
}

// A value the job claims, in its record form; absent when nothing is left of it.
std::optional<std::string> claim(const std::optional<std::string>& raw) {
    if (!raw)
        return std::nullopt;
    std::string clean = recordForm(*raw);
    if (clean.empty())
        return std::nullopt;
    return clean;
}

void notifyServing(const Client& client, const JobRecord& record) {
    if (!record.user && !record.document)
        return;
    std::string status = "Serving a job from " + client.client_ip;
    if (record.user)
        status += " for " + *record.user;
    if (record.document)
        status += ": " + *record.document;
    notifyStatus(status);
}

// Where the job went: the printer connection's far end (a name may give
// several addresses), the configured printer, or the device.
std::string targetText(const JobTarget& target) {
    if (target.printer.valid()) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (getpeername(target.printer.get(), reinterpret_cast<sockaddr*>(&peer), &length) == 0)
            return tindrel::endpointText(
                tindrel::fromSockaddr(reinterpret_cast<const sockaddr*>(&peer), length));
    }
    if (!conf.use_printer)
        return conf.printer_dev;
    if (!conf.printer_host.empty())
        return conf.printer_host + ":" + std::to_string(ntohs(conf.printer_port));
    tindrel::NetAddress printer = conf.printer_ip;
    printer.port = conf.printer_port;
    return tindrel::endpointText(printer);
}

// The client's host name and user database entry, as its face page showed
// them (the name lookup is cached).
void describeClient(const Client& client, JobRecord& record) {
    if (conf.accounting_path.empty())
        return;
    std::string host = hostNameOf(client.address);
    if (!host.empty())
        record.host = host;
    int pos = lookupIp(client.client_ip);
    if (pos >= 0) {
        record.office = userDb[static_cast<size_t>(pos)].office;
        record.phone = userDb[static_cast<size_t>(pos)].phone;
    }
}

// The face page, the buffered start, then the rest of the job.
JobEnd runBody(const JobLimits& limits, Client& client, JobTarget& target, JobFacts& facts) {
    std::string start;
    StartRead read = readJobStart(limits, client.fd.get(), start);
    facts.received(start);
    if (read == StartRead::Stopped)
        return JobEnd::Stopped;
    if (read == StartRead::ClientClosed)
        return JobEnd::Empty;

    facts.header = parseJobHeader(start);
    JobRecord& record = facts.record;
    record.user = claim(facts.header.user);
    record.document = claim(facts.header.document);
    record.language = facts.header.language;
    notifyServing(client, record);

    PageOutput page;
    page.socket = target.printer.valid() ? target.printer.get() : -1;
    page.device = target.device.get();
    page.send = sendToPrinter;
    sendFacePage(page, client.address, client.client_ip.c_str(),
                 PageClaims{record.user.value_or(""), record.document.value_or("")});
    if (page.template_unreadable) {
        finishJob(client, JobEnd::FacePageFailed);
        exit(1);
    }
    if (!page.whole) {
        if (page.device) {
            errno = page.error;
            perror("spoolDevice/fwrite: writing printer device failure");
        }
        // A send the stop request ended.
        if (page.socket >= 0 && stopRequested())
            return JobEnd::Stopped;
        return JobEnd::FacePageFailed;
    }
    record.face_page = true;
    if (!start.empty() && !deliver(target, start, facts))
        return targetFailed(target);
    const bool client_done = read == StartRead::Finished;
    if (client_done)
        verboseLine("Closing socket to printer");
    return relayBody(limits, client, target, facts, client_done);
}

} // namespace

JobEnd serveJob(Client& client, TargetKind kind, int64_t& bytes_sent) {
    JobFacts facts;
    JobRecord& record = facts.record;
    record.job = ++jobs_started;
    record.start = std::time(nullptr);
    record.client = client.client_ip;
    record.port = ntohs(client.address.port);
    const JobLimits limits = jobLimits();

    JobTarget target;
    std::optional<JobEnd> refused;
    if (kind == TargetKind::Printer) {
        verboseLine("One more printing throught network");
        refused = connectPrinter(limits, client, target.printer);
    } else if (!openDeviceTarget(target)) {
        perror("spoolDevice/fopen: unable to open printer device");
        refused = JobEnd::DeviceUnavailable;
    }

    JobEnd end;
    if (refused) {
        // Reset first, which gives a descriptor back for the log line when
        // they ran out.
        end = *refused;
        finishJob(client, end);
        logPrint(lostJobText(end), std::nullopt, client.client_ip);
    } else {
        end = runBody(limits, client, target, facts);
        if (target.device) {
            bool write_failed = std::ferror(target.device.get()) != 0;
            if (target.device.reset() != 0) {
                perror("spoolDevice/fclose: closing printer device failure");
                write_failed = true;
            }
            if (write_failed && end == JobEnd::Delivered)
                end = JobEnd::DeviceFailed;
        }
        finishJob(client, end);
        record.to = targetText(target);
        tindrel::closeConnection(target.printer);
        bytes_sent += static_cast<int64_t>(record.delivered);
        // A face page that did not go out is the target's failure.
        JobEnd said = end == JobEnd::FacePageFailed && kind == TargetKind::Device
                          ? JobEnd::DeviceFailed
                          : end;
        if (const char* text = lostJobText(said))
            logPrint(text, std::nullopt, client.client_ip);
        logPrint(sentBytesText(bytes_sent), std::nullopt, client.client_ip);
    }
    record.end = std::time(nullptr);
    record.outcome = outcomeName(end);
    // Known once the job has passed: the count may stand in its trailer.
    record.pages = jobPages(facts.header, facts.pages);
    if (record.to.empty())
        record.to = targetText(target);
    describeClient(client, record);
    writeRecord(record);
    countJob(record, !refused);
    return end;
}
