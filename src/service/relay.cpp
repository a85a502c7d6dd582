// The printer relay: for each client, connect to the printer, send the face
// page, then move the job's bytes to the printer and its answers back.
#include "service/service.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sys/socket.h>

#include "facepage/facepage.h"
#include "joblog/joblog.h"
#include "startup/startup.h"

namespace {

// One blocking connect; 0 when connected.
int connectOnce(int fd, const sockaddr_in& address) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return 0;
    if (errno != EINTR)
        return -1;
    // An interrupted connect goes on in the background; wait for its outcome.
    pollfd p{fd, POLLOUT, 0};
    while (poll(&p, 1, -1) < 0) {
        if (errno != EINTR)
            return -1;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0)
        return -1;
    return 0;
}

// Attempts are numbered from 0; after a failed attempt k another follows
// while k < retry_printer. Each attempt takes a fresh socket, since one whose
// connect failed cannot portably be connected again. An invalid owner means
// the printer stayed unreachable.
tindrel::UniqueFd connectPrinter() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = conf.printer_ip;
    address.sin_port = conf.printer_port;
    for (int attempt = 0;; ++attempt) {
        tindrel::UniqueFd printer(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!printer.valid()) {
            perror("socket: unable to create a TCP socket to printer\n");
            exit(1);
        }
        if (connectOnce(printer.get(), address) == 0)
            return printer;
        if (attempt >= conf.retry_printer)
            return tindrel::UniqueFd();
        if (verbose) {
            std::printf("Trying printer: %d\n", attempt);
            std::fflush(stdout);
        }
        pauseSeconds(idleSeconds());
    }
}

// Relays until the job ends. Once the client has finished sending, the
// printer gets an end of stream and its remaining answers still go back to
// the client, until the printer closes or stays silent for the idle time:
// closing a socket with unread data would reset it and lose queued bytes.
void relayJob(int client, int printer, int64_t& bytes_sent) {
    char buffer[kChunk];
    bool client_sending = true;
    for (;;) {
        pollfd fds[2] = {{printer, POLLIN, 0}, {client, POLLIN, 0}};
        int ready = waitReadable(fds, client_sending ? 2 : 1, idleSeconds());
        if (ready < 0) {
            perror("select()");
            return;
        }
        if (ready == 0)
            return;

        if (client_sending && readable(fds[1])) {
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
                    return;
            }
        }
        if (readable(fds[0])) {
            ssize_t got = tindrel::recvSome(printer, buffer, kChunk);
            if (got <= 0) {
                verboseLine("Printer sent a FIN. Closing!");
                return;
            }
            size_t want = static_cast<size_t>(got);
            if (tindrel::sendAll(client, buffer, want) < want)
                return;
        }
    }
}

} // namespace

int relayPrinter() {
    tindrel::UniqueFd listener(
        openListener("socket: unable to create a TCP socket for proxy service\n"));
    int64_t bytes_sent = 0;
    for (;;) {
        verboseLine("waiting for requests");
        Client client = acceptClient(listener.get());
        verboseLine("One more printing throught network");

        tindrel::UniqueFd printer = connectPrinter();
        if (!printer.valid()) {
            closeConnection(client.fd);
            logPrint("Unable to connect printer", std::nullopt, client.client_ip);
            return 0;
        }
        sendFacePage(printer.get(), client.address, client.client_ip.c_str());
        relayJob(client.fd.get(), printer.get(), bytes_sent);

        closeConnection(client.fd);
        closeConnection(printer);
        logPrint(sentBytesText(bytes_sent), std::nullopt, client.client_ip);
    }
}
