// The device spool service: each job, face page first, is appended to the
// printer device file.
#include "service/service.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "settings/settings.h"

// Opened without blocking: a FIFO without a reader, or a device that cannot
// be opened right now, refuses the job instead of holding the service. The
// descriptor stays non-blocking: a device that takes nothing (a printer out
// of paper) is waited for in the job's waits, which a stop request ends.
// Written unbuffered, a write reports exactly the bytes that reached the
// device, so a failing device never has bytes counted that it lost.
bool openDeviceTarget(JobTarget& target) {
    target.device.reset(open(conf.printer_dev.c_str(),
                             O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666));
    return target.device.valid();
}

size_t writeDevice(int device, std::string_view piece) {
    size_t written = putWhole(device, piece, ::write);
    if (written < piece.size())
        perror("spoolDevice/fwrite: writing printer device failure");
    return written;
}

int spoolDevice(int listener) {
    int64_t bytes_sent = 0;
    for (;;) {
        verboseLine("waiting for requests");
        std::optional<Client> next = acceptClient(listener);
        if (!next)
            return 0;
        serveJob(*next, TargetKind::Device, bytes_sent);
    }
}
