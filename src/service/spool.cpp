// The device spool service: each job, face page first, is appended to the
// printer device file.
#include "service/service.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

#include "settings/settings.h"

// Opened without blocking: a FIFO without a reader, or a device that cannot
// be opened right now, refuses the job instead of holding the service. The
// writes then block as usual. Unbuffered, a write reports exactly the bytes
// that reached the device, so a failing device never has bytes counted that
// it lost.
bool openDeviceTarget(JobTarget& target) {
    tindrel::UniqueFd fd(open(conf.printer_dev.c_str(),
                              O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666));
    if (!fd.valid() || !tindrel::setBlocking(fd.get(), true))
        return false;
    target.device.reset(fdopen(fd.get(), "a"));
    if (!target.device)
        return false;
    fd.release();
    std::setvbuf(target.device.get(), nullptr, _IONBF, 0);
    return true;
}

bool writeDevice(FILE* device, std::string_view piece, size_t& written) {
    written = std::fwrite(piece.data(), 1, piece.size(), device);
    if (written < piece.size()) {
        perror("spoolDevice/fwrite: writing printer device failure");
        return false;
    }
    if (std::fflush(device) != 0) {
        perror("spoolDevice/fflush: flushing printer device failure");
        return false;
    }
    return true;
}

int spoolDevice(int listener) {
    int64_t bytes_sent = 0;
    for (;;) {
        verboseLine("waiting for requests");
        std::optional<Client> next = acceptClient(listener);
        if (!next)
            return 0;
        startJobSignals();
        serveJob(*next, TargetKind::Device, bytes_sent);
        endJobSignals();
    }
}
