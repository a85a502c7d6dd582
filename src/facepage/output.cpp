#include "facepage/facepage.h"

#include "common/io.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <netdb.h>

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

std::string lookUpName(const tindrel::NetAddress& address) {
    // Without a pipe or a child (out of resources), or past the bound, the
    // page goes out without the name.
    std::string name;
    auto lookUp = [&address](int writer) {
        sockaddr_storage peer{};
        socklen_t length = tindrel::toSockaddr(address, peer);
        char host[NI_MAXHOST] = {};
        if (getnameinfo(reinterpret_cast<const sockaddr*>(&peer), length, host, sizeof host,
                        nullptr, 0, NI_NAMEREQD) == 0)
            tindrel::writeAll(writer, host, std::strlen(host));
    };
    if (tindrel::askChild(lookUp, kLookupSeconds, name, &lookupChild) != 0)
        name.clear();
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
