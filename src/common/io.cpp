#include "common/io.h"

#include <cerrno>
#include <sys/socket.h>

namespace tindrel {

UniqueFile openFile(const std::string& path, const char* mode) {
    std::string m(mode);
    m += 'e'; // O_CLOEXEC
    return UniqueFile(std::fopen(path.c_str(), m.c_str()));
}

namespace {

// Calls `op` on what is left until all of it is done, retrying EINTR and
// short transfers; returns the bytes done.
template <class Op> size_t untilAllDone(const void* data, size_t len, Op op) {
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t n = op(p + done, len - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

} // namespace

size_t sendAll(int fd, const void* data, size_t len) {
    return untilAllDone(data, len,
                        [fd](const char* p, size_t n) { return ::send(fd, p, n, MSG_NOSIGNAL); });
}

size_t sendAllBounded(int fd, std::string_view piece, int seconds) {
    return untilAllDone(piece.data(), piece.size(), [&](const char* p, size_t n) -> ssize_t {
        for (;;) {
            ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                return sent;
            // Full send buffer: wait for room, at most `seconds` without progress.
            pollfd ready{fd, POLLOUT, 0};
            int got = waitReady(&ready, 1, seconds);
            if (got <= 0) {
                if (got == 0)
                    errno = ETIMEDOUT;
                return -1;
            }
        }
    });
}

size_t writeAll(int fd, const void* data, size_t len) {
    return untilAllDone(data, len, [fd](const char* p, size_t n) { return ::write(fd, p, n); });
}

ssize_t recvSome(int fd, void* buf, size_t len) {
    for (;;) {
        ssize_t n = ::recv(fd, buf, len, 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

std::string ctimeText(std::time_t when) {
    char buf[32] = {};
    if (!ctime_r(&when, buf))
        return std::string();
    std::string text(buf);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

} // namespace tindrel
