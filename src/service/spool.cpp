// The device spool service: each job, face page first, is appended to the
// printer device file.
#include "service/service.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>

#include "facepage/facepage.h"
#include "joblog/joblog.h"
#include "settings/settings.h"

namespace {

// Opened without blocking: a FIFO without a reader, or a device that cannot
// be opened right now, refuses the job instead of holding the service. The
// writes then block as usual. Unbuffered, a write reports exactly the bytes
// that reached the device, so a failing device never has bytes counted that
// it lost.
tindrel::UniqueFile openDevice(const std::string& path) {
    tindrel::UniqueFd fd(
        open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666));
    if (!fd.valid())
        return tindrel::UniqueFile();
    if (!tindrel::setBlocking(fd.get(), true))
        return tindrel::UniqueFile();
    tindrel::UniqueFile device(fdopen(fd.get(), "a"));
    if (!device)
        return device;
    fd.release();
    std::setvbuf(device.get(), nullptr, _IONBF, 0);
    return device;
}

// Copies the client's bytes into the device until the client closes, stays
// silent for the idle time, or the device refuses a write.
JobEnd spoolJob(const JobLimits& limits, Client& client, FILE* device, int64_t& bytes_sent) {
    char buffer[kChunk];
    for (;;) {
        pollfd fds[1] = {{client.fd.get(), POLLIN, 0}};
        int ready = tindrel::waitReadable(fds, 1, limits.idle_seconds);
        if (ready < 0) {
            perror("select()");
            return JobEnd::Delivered;
        }
        if (ready == 0)
            return JobEnd::Delivered;

        ssize_t got = tindrel::recvSome(client.fd.get(), buffer, kChunk);
        if (got <= 0) {
            verboseLine("Closing socket to printer");
            return JobEnd::Delivered;
        }
        size_t want = static_cast<size_t>(got);
        size_t written = std::fwrite(buffer, 1, want, device);
        bytes_sent += static_cast<int64_t>(written);
        if (written < want) {
            perror("spoolDevice/fwrite: writing printer device failure");
            return JobEnd::DeviceFailed;
        }
        if (std::fflush(device) != 0) {
            perror("spoolDevice/fflush: flushing printer device failure");
            return JobEnd::DeviceFailed;
        }
    }
}

} // namespace

int spoolDevice(int listener) {
    int64_t bytes_sent = 0;
    for (;;) {
        verboseLine("waiting for requests");
        std::optional<Client> next = acceptClient(listener);
        if (!next)
            return 0;
        Client& client = *next;
        startJobSignals();
        const JobLimits limits = jobLimits();

        tindrel::UniqueFile device = openDevice(conf.printer_dev);
        if (!device) {
            perror("spoolDevice/fopen: unable to open printer device");
            refuseJob(client, JobEnd::DeviceUnavailable, "Unable to open printer device");
            endJobSignals();
            continue;
        }
        PageOutput page;
        page.device = device.get();
        bool page_whole = sendPageFor(client, page);
        if (page.error != 0) {
            errno = page.error;
            perror("spoolDevice/fwrite: writing printer device failure");
        }
        JobEnd end = page_whole ? spoolJob(limits, client, device.get(), bytes_sent)
                                : JobEnd::FacePageFailed;
        // The face page too may have met a device that refuses data.
        bool write_failed = std::ferror(device.get()) != 0;
        if (device.reset() != 0) {
            perror("spoolDevice/fclose: closing printer device failure");
            write_failed = true;
        }
        if (write_failed && end == JobEnd::Delivered)
            end = JobEnd::DeviceFailed;
        finishJob(client, end);
        if (write_failed)
            logPrint("Unable to write printer device", std::nullopt, client.client_ip);
        logPrint(sentBytesText(bytes_sent), std::nullopt, client.client_ip);
        endJobSignals();
    }
}
