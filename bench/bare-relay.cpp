// The least a relay can do, as the yardstick for tindrel's throughput: one
// client at a time, one poll, one 1500-byte receive and one send (or write)
// per pass, nothing else: no face page, no log, no header scan, no checks.
//
//   bare-relay relay PORT PRINTER_PORT    client -> 127.0.0.1:PRINTER_PORT
//   bare-relay spool PORT FILE            client -> FILE (appended)
//
// Built and run by bench/side-by-side.sh; not part of tindrel.
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

bool putAll(int fd, const char* data, ssize_t size, bool socket) {
    while (size > 0) {
        ssize_t n = socket ? send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL)
                           : write(fd, data, static_cast<size_t>(size));
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    const bool relay = std::strcmp(argv[1], "relay") == 0;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in own = loopback(std::atoi(argv[2]));
    if (bind(listener, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0 || listen(listener, 8))
        return 1;
    char buffer[1500];
    for (;;) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0)
            continue;
        int target;
        if (relay) {
            target = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in printer = loopback(std::atoi(argv[3]));
            if (connect(target, reinterpret_cast<sockaddr*>(&printer), sizeof printer) != 0)
                return 1;
        } else {
            target = open(argv[3], O_WRONLY | O_APPEND | O_CREAT, 0644);
        }
        for (;;) {
            pollfd p{client, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0)
                break;
            ssize_t got = recv(client, buffer, sizeof buffer, 0);
            if (got <= 0 || !putAll(target, buffer, got, relay))
                break;
        }
        if (relay) { // the printer's end, as tindrel waits for it
            shutdown(target, SHUT_WR);
            while (recv(target, buffer, sizeof buffer, 0) > 0) {
            }
        }
        close(target);
        close(client);
    }
}
