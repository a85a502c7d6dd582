#include "facepage/facepage.h"

#include "common/io.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netdb.h>
#include <sys/prctl.h>
#include <sys/wait.h>

FacePageSender sendFacePage = nullptr;
volatile pid_t lookupChild = 0;

int sendPiece(PageOutput& out, std::string_view piece) {
    // After a piece that did not go out whole the page is lost: the rest
    // would only print as garbage.
    if (!out.whole)
        return 1;
    if (out.socket >= 0) {
        const size_t sent =
            out.send ? out.send(out.socket, piece) : tindrel::sendAll(out.socket, piece);
        out.whole = sent == piece.size();
    } else if (out.device) {
        bool written =
            piece.empty() || std::fwrite(piece.data(), 1, piece.size(), out.device) == piece.size();
        // Flushed per piece so the device sees the face page before the job's bytes.
        out.whole = std::fflush(out.device) == 0 && written;
    } else {
        out.whole = false;
    }
    if (!out.whole)
        out.error = errno;
    return out.whole ? 0 : 1;
}

bool templateMissingIsFatal(int err) {
    // Running out of descriptors or memory spoils only this job.
    return err != EMFILE && err != ENFILE && err != ENOMEM;
}

namespace {

// Names found (or not) in the last minute: a burst of jobs from one client
// waits for the name server once.
constexpr auto kNameCacheTime = std::chrono::seconds(60);
constexpr size_t kNameCacheSize = 256;

struct CachedName {
    std::string name;
    std::chrono::steady_clock::time_point when;
};
// Keyed by the address text, which is one text per address.
std::map<std::string, CachedName> nameCache;

void closeAllBut(int keep) {
    if (keep > 0)
        close_range(0, static_cast<unsigned>(keep) - 1, 0);
    close_range(static_cast<unsigned>(keep) + 1, ~0U, 0);
}

std::string lookUpName(const tindrel::NetAddress& address) {
    // The lookup runs in a child process that is given kLookupSeconds: a name
    // server that never answers must not hold the one-job service. Without a
    // pipe or a child (out of resources), the page goes out without the name.
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return std::string();
    tindrel::UniqueFd reader(pipe_fds[0]);
    tindrel::UniqueFd writer(pipe_fds[1]);
    const pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0)
        return std::string();
    if (child == 0) {
        reader.release();
        for (int sig : {SIGTERM, SIGINT, SIGHUP})
            std::signal(sig, SIG_DFL);
        // It must never outlive the daemon, nor hold its listening socket
        // or a client's connection.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(0);
        closeAllBut(writer.get());
        sockaddr_storage peer{};
        socklen_t length = tindrel::toSockaddr(address, peer);
        char host[NI_MAXHOST] = {};
        if (getnameinfo(reinterpret_cast<const sockaddr*>(&peer), length, host, sizeof host,
                        nullptr, 0, NI_NAMEREQD) == 0)
            tindrel::writeAll(writer.get(), host, std::strlen(host));
        _exit(0);
    }
    lookupChild = child;
    writer.reset();

    std::string name;
    bool complete = false;
    for (;;) {
        pollfd p{reader.get(), POLLIN, 0};
        if (tindrel::waitReadable(&p, 1, kLookupSeconds) <= 0)
            break;
        char buf[256];
        ssize_t n = read(reader.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            complete = n == 0;
            break;
        }
        name.append(buf, static_cast<size_t>(n));
    }
    if (!complete) {
        kill(child, SIGKILL);
        name.clear();
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    lookupChild = 0;
    return name;
}

} // namespace

std::string hostNameOf(const tindrel::NetAddress& address) {
    auto now = std::chrono::steady_clock::now();
    const std::string key = tindrel::addressText(address);
    auto cached = nameCache.find(key);
    if (cached != nameCache.end() && now - cached->second.when < kNameCacheTime)
        return cached->second.name;
    std::string name = lookUpName(address);
    if (nameCache.size() >= kNameCacheSize)
        nameCache.clear();
    nameCache[key] = CachedName{name, now};
    return name;
}
