// Taking the next print client, and the status shown while waiting for one.
#include "service/service.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>

namespace {

// The accept errors that accept(2) says to retry: an interruption, a client
// that went away before it was taken, and network errors Linux passes on
// from the pending connection.
bool acceptRetryable(int err) {
    switch (err) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

// The connection stays queued and is taken once descriptors or memory are
// free again.
bool acceptShortOfResources(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// The client's address as accept reported it: a client that resets at once
// is still named. An IPv4 client of an IPv6 socket is taken as IPv4.
void nameClient(Client& client, const sockaddr_storage& peer, socklen_t length) {
    client.address = tindrel::fromSockaddr(reinterpret_cast<const sockaddr*>(&peer), length);
    client.client_ip = tindrel::addressText(client.address);
}

long jobs_served = 0;
std::string last_outcome;

void notifyWaiting() {
    std::string status = "Waiting for print jobs, " + std::to_string(jobs_served) + " served";
    if (!last_outcome.empty())
        status += "; last: " + last_outcome;
    notifyStatus(status);
}

} // namespace

std::optional<Client> acceptClient(int listener) {
    notifyWaiting();
    for (;;) {
        // No bound: waiting for the next client is what the daemon does when
        // idle. A stop request ends the wait.
        pollfd p{listener, POLLIN, 0};
        int ready = waitForClient(p);
        if (ready == kStoppedWait)
            return std::nullopt;
        if (ready < 0) {
            std::puts("ACCEPT Error");
            exit(1);
        }
        sockaddr_storage peer{};
        socklen_t peer_len = sizeof peer;
        int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC);
        if (fd >= 0) {
            Client client;
            client.fd.reset(fd);
            verboseLine("Requests arrived");
            nameClient(client, peer, peer_len);
            notifyStatus("Serving a job from " + client.client_ip);
            return client;
        }
        if (acceptShortOfResources(errno)) {
            perror("accept: out of descriptors or memory, retrying in a second");
            tindrel::pauseSeconds(1);
            continue;
        }
        if (!acceptRetryable(errno)) {
            std::puts("ACCEPT Error");
            exit(1);
        }
    }
}

void jobServed(const Client& client, JobEnd end) {
    ++jobs_served;
    last_outcome = "job from " + client.client_ip + " " + outcomeName(end);
}
