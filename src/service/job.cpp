// One job's life, the same for the printer and the device: target, the
// start of the job, face page, body, end, log.
#include "service/service.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "facepage/facepage.h"
#include "jobheader/jobheader.h"
#include "joblog/joblog.h"
#include "settings/settings.h"

namespace {

// What a job is learning about itself as it runs: its record, and the page
// count that may stand in its trailer.
struct JobFacts {
    JobRecord record;
    JobHeader header;
    PagesScanner pages;
    PrinterWord word;
    size_t trailer = 0;               // frame bytes sent after the job's last byte
    bool fin_sent = false;            // the printer connection's end of stream went out
    bool template_unreadable = false; // no later job can have a face page either

    void received(std::string_view bytes) {
        record.received += bytes.size();
        scanPages(pages, bytes);
    }
};

// Every byte of the piece to the printer.
size_t sendToPrinter(int printer, std::string_view piece) {
    return putWhole(printer, piece, [](int fd, const void* data, size_t size) {
        return send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    });
}

// Hands a piece of the job to the target; false when it did not take it all.
bool deliver(JobTarget& target, std::string_view piece, JobFacts& facts) {
    size_t taken = target.printer.valid() ? sendToPrinter(target.printer.get(), piece)
                                          : writeDevice(target.device.get(), piece);
    facts.record.delivered += taken;
    return taken == piece.size();
}

JobEnd targetFailed(const JobTarget& target) {
    if (stopRequested())
        return JobEnd::Stopped;
    return target.printer.valid() ? JobEnd::PrinterFailed : JobEnd::DeviceFailed;
}

// Finished: the client sent its bytes and closed its side during the read.
enum class StartRead { Taken, Finished, ClientClosed, Aborted, Idle, Stopped };

// Reads the start of the job into `start`, bounded in bytes and seconds, so
// that the face page can follow the job's own header. No page goes out
// before the job's first byte: that is awaited under the idle time, and a
// stop request ends the wait at once. From the first byte on, a client that
// falls silent gets its page once the silence bound has passed; the rest of
// its job is then awaited under the idle time.
StartRead readJobStart(const JobLimits& limits, int client, std::string& start) {
    const int silence = std::min(kJobStartSilenceSeconds, limits.idle_seconds);
    double deadline = 0;
    char buffer[kChunk];
    while (start.size() < kJobStartMax && !headerEnded(start)) {
        double seconds = limits.idle_seconds;
        if (!start.empty()) {
            double left = deadline - monotonicSeconds();
            if (left <= 0 && limits.idle_seconds != 0)
                break;
            seconds = std::min(static_cast<double>(silence), left);
        }
        pollfd p{client, POLLIN, 0};
        int ready = waitInJob(&p, 1, seconds, start.empty() ? 0 : kStopGraceSeconds);
        if (ready == kStoppedWait)
            return StartRead::Stopped;
        if (ready < 0)
            perror("select()");
        if (ready <= 0)
            return start.empty() ? StartRead::Idle : StartRead::Taken;
        ssize_t got =
            tindrel::recvSome(client, buffer, std::min(kChunk, kJobStartMax - start.size()));
        if (got < 0)
            return StartRead::Aborted;
        if (got == 0)
            return start.empty() ? StartRead::ClientClosed : StartRead::Finished;
        if (start.empty())
            deadline = monotonicSeconds() + (limits.idle_seconds == 0 ? 0 : kJobStartSeconds);
        start.append(buffer, static_cast<size_t>(got));
    }
    return StartRead::Taken;
}

// Passes what the printer sent on to the client, but for what tindrel asked
// for itself. The printer's end of stream is no end of the job: it may only
// have half-closed, and `printer_open` turns false. Returns how the job ended
// when this read ended it.
std::optional<JobEnd> relayAnswer(const JobLimits& limits, Client& client, int printer,
                                  char* buffer, JobFacts& facts, bool& printer_open) {
    ssize_t got = tindrel::recvSome(printer, buffer, kChunk);
    std::string relay;
    if (got > 0)
        hearPrinter(facts.word, std::string_view(buffer, static_cast<size_t>(got)), relay,
                    facts.record);
    else
        printerDone(facts.word, relay);
    if (!relay.empty() &&
        tindrel::sendAllBounded(client.fd.get(), relay, limits.client_send_seconds) < relay.size())
        return JobEnd::ClientStalled;
    // A reset is no end of the job: the printer may have lost it.
    if (got < 0)
        return JobEnd::PrinterFailed;
    if (got == 0) {
        verboseLine("Printer sent a FIN. Closing!");
        printer_open = false;
    }
    return std::nullopt;
}

// Bytes sent on the connection that its peer has not acknowledged yet (our
// end of stream counts as one). When the system cannot tell, the sends'
// word stands.
long unacknowledged(int socket) {
    int count = 0;
    if (ioctl(socket, SIOCOUTQ, &count) != 0 || count < 0)
        return 0;
    return count;
}

bool pendingError(int socket) {
    int err = 0;
    socklen_t length = sizeof err;
    return getsockopt(socket, SOL_SOCKET, SO_ERROR, &err, &length) != 0 || err != 0;
}

// The client has finished. A job to a printer is delivered only once the
// printer's TCP has acknowledged every byte and our end of stream; bytes a
// send accepted may still be lost. Meanwhile the printer's answers reach the
// client, and the job waits for the printer's own end as it always did. The
// wait ends after the idle time without an answer or an acknowledgement.
// With printer-status pjl the job's frame is closed instead, and the job ends
// when the printer says the job came out: a printer may end its status at
// our end of stream, so that comes after.
JobEnd awaitDelivery(const JobLimits& limits, Client& client, JobTarget& target, JobFacts& facts,
                     bool printer_open) {
    if (!target.printer.valid())
        return JobEnd::Delivered; // every write was whole
    const int printer = target.printer.get();
    PrinterWord& word = facts.word;
    const bool pjl = !word.job_name.empty();
    if (pjl) {
        // Out at once: held back behind unacknowledged data, the small frame
        // would wait for a delayed acknowledgement, and the printer's word
        // with it.
        int on = 1;
        setsockopt(printer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const std::string close = pjlJobClose(word.job_name);
        if (sendToPrinter(printer, close) < close.size())
            return targetFailed(target);
        facts.trailer = close.size();
    } else {
        facts.fin_sent = shutdown(printer, SHUT_WR) == 0;
    }
    // Without pjl a PostScript error is recorded, and the job ends as it always did.
    auto outcome = [&] {
        return pjl && printerCanceled(word) ? JobEnd::PrinterCanceled : JobEnd::Delivered;
    };
    char buffer[kChunk];
    double last_progress = monotonicSeconds();
    long before = -1;    // none yet
    double step = 0.001; // acknowledgements are polled, at a falling rate
    for (;;) {
        const long unacked = unacknowledged(printer);
        if (pendingError(printer))
            return JobEnd::PrinterFailed;
        if (unacked == 0 && (word.ended || !printer_open))
            return outcome();
        if (before < 0 || unacked < before)
            last_progress = monotonicSeconds();
        before = unacked;
        const double idle_left = limits.idle_seconds - (monotonicSeconds() - last_progress);
        // A printer that never says the job ended is taken at its TCP's word.
        if (idle_left <= 0)
            return unacked == 0 ? outcome() : JobEnd::PrinterFailed;
        double seconds = idle_left;
        if (unacked != 0) {
            seconds = std::min(step, idle_left);
            step = std::min(step * 2, 0.25);
        }
        pollfd p{printer, POLLIN, 0};
        int ready = waitInJob(&p, printer_open ? 1 : 0, seconds, kStopGraceSeconds);
        if (ready == kStoppedWait)
            return JobEnd::Stopped;
        if (ready < 0) {
            perror("select()");
            return JobEnd::PrinterFailed;
        }
        if (ready == 0 || !tindrel::readable(p))
            continue;
        if (std::optional<JobEnd> end =
                relayAnswer(limits, client, printer, buffer, facts, printer_open))
            return *end;
        last_progress = monotonicSeconds(); // a page message keeps a long job going
    }
}

// Moves the client's bytes to the target and the printer's answers back,
// until the client finishes; then waits for the delivery.
JobEnd relayBody(const JobLimits& limits, Client& client, JobTarget& target, JobFacts& facts,
                 bool client_done) {
    char buffer[kChunk];
    bool printer_open = target.printer.valid();
    while (!client_done) {
        pollfd fds[2] = {{client.fd.get(), POLLIN, 0}, {target.printer.get(), POLLIN, 0}};
        int ready = waitInJob(fds, printer_open ? 2 : 1, limits.idle_seconds, kStopGraceSeconds);
        if (ready == kStoppedWait)
            return JobEnd::Stopped;
        if (ready < 0)
            perror("select()");
        if (ready <= 0)
            return JobEnd::IdleTimeOut;

        if (tindrel::readable(fds[0])) {
            ssize_t got = tindrel::recvSome(client.fd.get(), buffer, kChunk);
            if (got < 0)
                return JobEnd::ClientAborted;
            if (got == 0) {
                verboseLine("Closing socket to printer");
                client_done = true;
            } else {
                std::string_view piece(buffer, static_cast<size_t>(got));
                facts.received(piece);
                if (!deliver(target, piece, facts))
                    return targetFailed(target);
            }
        }
        if (printer_open && tindrel::readable(fds[1])) {
            if (std::optional<JobEnd> end =
                    relayAnswer(limits, client, target.printer.get(), buffer, facts, printer_open))
                return *end;
        }
    }
    return awaitDelivery(limits, client, target, facts, printer_open);
}

// Only what the printer acknowledged counts as delivered: the job's bytes
// come last on the connection but for the closing frame, so the
// unacknowledged tail before that is theirs.
void countAcknowledged(int printer, JobFacts& facts) {
    long unacked = unacknowledged(printer);
    if (unacked <= 0)
        return;
    if (facts.fin_sent)
        --unacked;
    unacked -= std::min(unacked, static_cast<long>(facts.trailer));
    unsigned long long& delivered = facts.record.delivered;
    delivered -= std::min(delivered, static_cast<unsigned long long>(unacked));
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

// The client's host name and user database entry, as its face page showed
// them (the name lookup is cached). A name from DNS is a stranger's text.
void describeClient(const Client& client, JobRecord& record) {
    if (conf.accounting_path.empty())
        return;
    record.host = claim(hostNameOf(client.address));
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
    switch (read) {
    case StartRead::Stopped:
        return JobEnd::Stopped;
    case StartRead::ClientClosed:
        return JobEnd::Empty;
    case StartRead::Idle:
        return JobEnd::IdleTimeOut;
    case StartRead::Aborted:
        return JobEnd::ClientAborted;
    case StartRead::Taken:
    case StartRead::Finished:
        break;
    }

    facts.header = parseJobHeader(start);
    JobRecord& record = facts.record;
    record.user = claim(facts.header.user);
    record.document = claim(facts.header.document);
    record.language = facts.header.language;
    notifyServing(client, record);

    const bool printer = target.printer.valid();
    PrinterWord& word = facts.word;
    listenToPrinter(word, record.job, facts.header, printer && conf.pjl_status);
    // Frames that do not go out whole lose the page like its own bytes.
    auto frame = [&](const std::string& bytes) {
        return word.job_name.empty() || sendToPrinter(target.printer.get(), bytes) == bytes.size();
    };
    PageOutput page;
    page.socket = printer ? target.printer.get() : target.device.get();
    page.send = printer ? sendToPrinter : writeDevice;
    if (frame(pjlJobOpen(word.page_name, conf.template_type.starts_with("ps"))))
        sendFacePage(page, client.address, client.client_ip.c_str(),
                     PageClaims{record.user.value_or(""), record.document.value_or("")});
    else
        page.whole = false;
    if (page.template_unreadable) {
        facts.template_unreadable = true;
        return JobEnd::FacePageFailed;
    }
    if (!page.whole || !frame(pjlJobClose(word.page_name) + pjlJobOpen(word.job_name, false)))
        return stopRequested() ? JobEnd::Stopped : JobEnd::FacePageFailed;
    record.face_page = true;
    if (!start.empty() && !deliver(target, start, facts))
        return targetFailed(target);
    const bool client_done = read == StartRead::Finished;
    if (client_done)
        verboseLine("Closing socket to printer");
    return relayBody(limits, client, target, facts, client_done);
}

} // namespace

std::string configuredTarget() {
    if (!conf.use_printer)
        return conf.printer_dev;
    if (!conf.printer_host.empty())
        return conf.printer_host + ":" + std::to_string(ntohs(conf.printer_port));
    tindrel::NetAddress printer = conf.printer_ip;
    printer.port = conf.printer_port;
    return tindrel::endpointText(printer);
}

JobEnd serveJob(Client& client, TargetKind kind, int64_t& bytes_sent) {
    JobFacts facts;
    JobRecord& record = facts.record;
    record.job = nextJobNumber();
    record.start = std::time(nullptr);
    record.client = client.client_ip;
    record.port = ntohs(client.address.port);
    const JobLimits limits = jobLimits();

    JobTarget target;
    std::optional<JobEnd> refused;
    if (kind == TargetKind::Printer) {
        verboseLine("One more printing throught network");
        tindrel::NetAddress took;
        refused = connectPrinter(limits, client, target.printer, took);
        if (!refused)
            record.to = tindrel::endpointText(took);
    } else if (!openDeviceTarget(target)) {
        perror("spoolDevice/fopen: unable to open printer device");
        refused = JobEnd::DeviceUnavailable;
    } else {
        record.to = conf.printer_dev;
    }

    JobEnd end;
    if (refused) {
        // Reset first, which gives a descriptor back for the log line when
        // they ran out.
        end = *refused;
        finishJob(client, end);
        logPrint(lostJobText(end), std::nullopt, client.client_ip);
        record.to = configuredTarget();
    } else {
        end = runBody(limits, client, target, facts);
        if (target.printer.valid())
            countAcknowledged(target.printer.get(), facts);
        if (target.device.valid() && close(target.device.release()) != 0) {
            perror("spoolDevice/fclose: closing printer device failure");
            if (end == JobEnd::Delivered)
                end = JobEnd::DeviceFailed;
        }
        finishJob(client, end);
        if (endsInOrder(end))
            tindrel::closeConnection(target.printer);
        else
            tindrel::resetConnection(target.printer);
        bytes_sent += static_cast<int64_t>(record.delivered);
        // A face page that did not go out is the target's failure.
        JobEnd said = end == JobEnd::FacePageFailed && kind == TargetKind::Device
                          ? JobEnd::DeviceFailed
                          : end;
        // A template that is gone was logged by its sender.
        const char* text = facts.template_unreadable ? nullptr : lostJobText(said);
        if (text)
            logPrint(text, std::nullopt, client.client_ip);
        logPrint(sentBytesText(bytes_sent), std::nullopt, client.client_ip);
    }
    record.end = std::time(nullptr);
    record.outcome = outcomeName(end);
    // Known once the job has passed: the count may stand in its trailer.
    record.pages = jobPages(facts.header, facts.pages);
    record.copies = jobCopies(facts.header, facts.pages);
    recordPrinterWord(facts.word, record);
    describeClient(client, record);
    writeRecord(record);
    countJob(record, !refused);
    // The template is gone: this job has its record, log lines and count,
    // and the service ends.
    if (facts.template_unreadable)
        exit(1);
    return end;
}
