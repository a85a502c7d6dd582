// The device spool service: each job, face page first, is appended to the
// printer device file.
#include "service/service.h"

#include <cstdio>
#include <optional>
#include <sys/socket.h>

#include "facepage/facepage.h"
#include "joblog/joblog.h"
#include "startup/startup.h"

namespace {

// Copies the client's bytes into the device until the client closes, stays
// silent for the idle time, or the device refuses a write.
void spoolJob(Client& client, FILE* device, int64_t& bytes_sent) {
    char buffer[kChunk];
    for (;;) {
        pollfd fds[1] = {{client.fd.get(), POLLIN, 0}};
        int ready = waitReadable(fds, 1, idleSeconds());
        if (ready < 0) {
            perror("select()");
            return;
        }
        if (ready == 0)
            return;

        ssize_t got = tindrel::recvSome(client.fd.get(), buffer, kChunk);
        if (got <= 0) {
            verboseLine("Closing socket to printer");
            closeConnection(client.fd);
            return;
        }
        size_t want = static_cast<size_t>(got);
        size_t written = std::fwrite(buffer, 1, want, device);
        bytes_sent += static_cast<int64_t>(written);
        if (written < want) {
            perror("spoolDevice/fwrite: writing printer device failure");
            return;
        }
        if (std::fflush(device) != 0) {
            perror("spoolDevice/fflush: flushing printer device failure");
            return;
        }
    }
}

} // namespace

void spoolDevice() {
    tindrel::UniqueFd listener(
        openListener("socket: unable to create a socket for proxy service\n"));
    int64_t bytes_sent = 0;
    for (;;) {
        verboseLine("waiting for requests");
        Client client = acceptClient(listener.get());

        tindrel::UniqueFile device = tindrel::openFile(conf.printer_dev, "a");
        if (!device) {
            perror("spoolDevice/fopen: unable to open printer device");
            closeConnection(client.fd);
            logPrint("Unable to open printer device", std::nullopt, client.client_ip);
            continue;
        }
        // Unbuffered, a write reports exactly the bytes that reached the
        // device, so a failing device never has bytes counted that it lost.
        std::setvbuf(device.get(), nullptr, _IONBF, 0);
        spool_file = device.get();
        sendFacePage(0, client.address, client.client_ip.c_str());
        spoolJob(client, device.get(), bytes_sent);
        spool_file = nullptr;
        if (device.reset() != 0)
            perror("spoolDevice/fclose: closing printer device failure");

        closeConnection(client.fd);
        logPrint(sentBytesText(bytes_sent), std::nullopt, client.client_ip);
    }
}
