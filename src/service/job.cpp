// One job's life, the same for the printer and the device: target, the
// start of the job, face page, body, end, log.
#include "service/service.h"

#include <cerrno>
#include <cstdio>
#include <sys/socket.h>
#include <time.h>

#include "facepage/facepage.h"
#include "joblog/joblog.h"
#include "settings/settings.h"

namespace {

long jobs_started = 0;

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
bool deliver(JobTarget& target, std::string_view piece, JobRecord& record) {
    size_t taken = 0;
    bool whole = true;
    if (target.printer.valid()) {
        taken = sendToPrinter(target.printer.get(), piece);
        whole = taken == piece.size();
    } else {
        whole = writeDevice(target.device.get(), piece, taken);
    }
    record.delivered += static_cast<int64_t>(taken);
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
StartRead readJobStart(const JobLimits& limits, int client, std::string& start, JobRecord& record) {
    const int silence = std::min(kJobStartSilenceSeconds, limits.idle_seconds);
    const double deadline = monotonicSeconds() + (limits.idle_seconds == 0 ? 0 : kJobStartSeconds);
    char buffer[kChunk];
    while (start.size() < kJobStartMax && !jobHeaderEnded(start)) {
        // The first byte is awaited under the idle time, as the relay would.
        int seconds = start.empty() ? limits.idle_seconds : silence;
        if (!start.empty()) {
            double left = deadline - monotonicSeconds();
            if (left <= 0)
                break;
            seconds = std::min(seconds, static_cast<int>(left) + 1);
        }
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
        record.received += got;
    }
    return StartRead::Taken;
}

// Moves the client's bytes to the target and the printer's answers back. The
// printer's end of stream is no end of the job: it may only have half-closed,
// so the client's bytes still go out, and the job is delivered only when the
// client finished and every byte went out.
JobEnd relayBody(const JobLimits& limits, Client& client, JobTarget& target, JobRecord& record,
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
                record.received += got;
                if (!deliver(target, std::string_view(buffer, static_cast<size_t>(got)), record))
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

// The face page, the buffered start, then the rest of the job.
JobEnd runBody(const JobLimits& limits, Client& client, JobTarget& target, JobRecord& record) {
    std::string start;
    StartRead read = readJobStart(limits, client.fd.get(), start, record);
    if (read == StartRead::Stopped)
        return JobEnd::Stopped;
    if (read == StartRead::ClientClosed)
        return JobEnd::Empty;

    PageOutput page;
    page.socket = target.printer.valid() ? target.printer.get() : -1;
    page.device = target.device.get();
    page.send = sendToPrinter;
    sendFacePage(page, client.address, client.client_ip.c_str());
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
    if (!start.empty() && !deliver(target, start, record))
        return targetFailed(target);
    const bool client_done = read == StartRead::Finished;
    if (client_done)
        verboseLine("Closing socket to printer");
    return relayBody(limits, client, target, record, client_done);
}

} // namespace

bool jobHeaderEnded(std::string_view buffered) {
    // Until the header reader is in place, any byte ends the wait.
    return !buffered.empty();
}

void recordJob(const JobRecord& record) {
    (void)record; // the accounting record is written here
}

JobEnd serveJob(Client& client, TargetKind kind, int64_t& bytes_sent) {
    JobRecord record;
    record.job = ++jobs_started;
    record.start = std::time(nullptr);
    record.client = client.client_ip;
    record.port = client.port;
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
        end = runBody(limits, client, target, record);
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
        tindrel::closeConnection(target.printer);
        bytes_sent += record.delivered;
        // A face page that did not go out is the target's failure.
        JobEnd said = end == JobEnd::FacePageFailed && kind == TargetKind::Device
                          ? JobEnd::DeviceFailed
                          : end;
        if (const char* text = lostJobText(said))
            logPrint(text, std::nullopt, client.client_ip);
        logPrint(sentBytesText(bytes_sent), std::nullopt, client.client_ip);
    }
    record.end = std::time(nullptr);
    record.outcome = end;
    recordJob(record);
    return end;
}
