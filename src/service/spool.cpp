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
    size_t done = 0;
    while (done < piece.size()) {
        ssize_t n = write(device, piece.data() + done, piece.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN) {
            perror("spoolDevice/fwrite: writing printer device failure");
            break;
        }
        // Only a stop request bounds this wait, as for a printer that reads nothing.
        pollfd room{device, POLLOUT, 0};
        int ready = waitInJob(&room, 1, 3600, kStopGraceSeconds);
        if (ready < 0)
            break;
    }
    return done;
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
