#include "common/io.h"

#include <cerrno>
#include <sys/socket.h>

namespace tindrel {

UniqueFile openFile(const std::string& path, const char* mode) {
    std::string m(mode);
    m += 'e';  // O_CLOEXEC
    return UniqueFile(std::fopen(path.c_str(), m.c_str()));
}

size_t sendAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::send(fd, p + done, len - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
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
