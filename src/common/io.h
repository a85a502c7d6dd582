// Low-level pieces shared by every subsystem: descriptor and FILE* owners,
// the send loop and the time texts.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <functional>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>

#include "common/address.h"

namespace tindrel {

// Move-only owner of a file descriptor; closes it once, in the destructor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Move-only owner of a FILE*; fclose once, in the destructor.
class UniqueFile {
public:
    UniqueFile() = default;
    explicit UniqueFile(FILE* f) : f_(f) {}
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;
    UniqueFile(UniqueFile&& other) noexcept : f_(other.release()) {}
    UniqueFile& operator=(UniqueFile&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~UniqueFile() { reset(); }

    FILE* get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    FILE* release() {
        FILE* f = f_;
        f_ = nullptr;
        return f;
    }
    // Returns fclose's result so callers that care about the final flush can see it.
    int reset(FILE* f = nullptr) {
        int rc = 0;
        if (f_)
            rc = std::fclose(f_);
        f_ = f;
        return rc;
    }

private:
    FILE* f_ = nullptr;
};

// Opens with close-on-exec so no descriptor leaks into a child.
UniqueFile openFile(const std::string& path, const char* mode);

// Sends the whole buffer: loops over partial sends, retries EINTR and never
// raises SIGPIPE. Returns the number of bytes sent, which is less than len
// only when the send failed (errno tells why).
size_t sendAll(int fd, const void* data, size_t len);
inline size_t sendAll(int fd, std::string_view piece) {
    return sendAll(fd, piece.data(), piece.size());
}

// Like sendAll, but gives up when the peer takes nothing for `seconds`
// seconds in a row: a peer that stops reading must not hold the caller.
size_t sendAllBounded(int fd, std::string_view piece, int seconds);

// Receives up to len bytes, retrying EINTR. Same result as recv otherwise.
ssize_t recvSome(int fd, void* buf, size_t len);

// Writes the whole buffer to a descriptor, retrying EINTR and short writes.
// Returns the number of bytes written; less than len only on failure.
size_t writeAll(int fd, const void* data, size_t len);

// Waits until one of fds is readable (data, end of stream or error pending)
// for at most `seconds`, across interruptions. Returns the number of ready
// descriptors (see readable()), 0 on time-out, -1 on failure (errno set).
int waitReadable(pollfd* fds, nfds_t count, int seconds);
// The same for the events already set in each pollfd.
int waitReady(pollfd* fds, nfds_t count, int seconds);
// A wait of that shape. Callers that must end at a stop request pass their
// own; it returns -1 with errno EINTR when a stop ended it.
using WaitFn = int (*)(pollfd* fds, nfds_t count, int seconds);
// The signal mask every wait here takes while it waits, or nullptr to keep
// the process's mask. The daemon keeps its stop signals blocked and lets
// them in only inside a wait, so none is lost between a look and a wait.
void setWaitMask(const sigset_t* mask);
inline bool readable(const pollfd& p) {
    return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// Sleeps `seconds`, across interruptions.
void pauseSeconds(int seconds);

// Shuts a connection down both ways and closes it: the orderly end.
void closeConnection(UniqueFd& fd);
// Closes a connection with a reset, so that its peer sees a failure rather
// than an orderly end of stream.
void resetConnection(UniqueFd& fd);

// One TCP connection attempt to address (with its port) that gives up after `seconds`
// seconds without an answer. A refusal fails at once. Returns the connected
// socket, or an invalid owner with errno set; `created` tells whether a
// socket could be made at all.
UniqueFd connectBounded(const NetAddress& address, int seconds, bool& created,
                        WaitFn wait = waitReady);

// White space as isspace sees it, for any byte.
inline bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}
// The text without its trailing white space (a carriage return included).
inline std::string_view trimEnd(std::string_view text) {
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}
// A blank or a tab, the separators inside a line of a job's header or a
// printer's message.
inline bool isBlank(char c) {
    return c == ' ' || c == '\t';
}
inline std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}
// A number of blanks, then at most `max_digits` decimal digits and nothing
// else, then blanks: no sign, no exponent, never out of range.
inline std::optional<long> digitsValue(std::string_view text, size_t max_digits) {
    text = trimBlanks(text);
    if (text.empty() || text.size() > max_digits)
        return std::nullopt;
    long n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}
// ASCII letters compared without regard to case.
inline bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}
inline bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && startsWithNoCase(a, b);
}

// Runs `work` in a child process that answers on the descriptor it is given,
// and reads its whole answer within `seconds`; a child that takes longer is
// killed. The child dies with the daemon and holds none of its descriptors
// but the answer pipe. `running`, when given, holds the
// child's pid while it runs, so that a signal handler can kill it. Returns 0
// with the answer, 1 when the bound passed (or `wait` failed), -1 when no
// child could be made.
int askChild(const std::function<void(int)>& work, int seconds, std::string& answer,
             volatile pid_t* running = nullptr, WaitFn wait = waitReady);

// Resolves a host name to its stream addresses, in the resolver's order,
// within `seconds`: the lookup runs in a child process, so a name server
// that never answers costs that bound and no more. Returns 0 with at least
// one address, else 1 with `why` saying what failed. `running` and `wait` as for askChild.
int resolveHost(const std::string& name, int seconds, std::vector<NetAddress>& out,
                std::string& why, volatile pid_t* running = nullptr, WaitFn wait = waitReady);

// Switches O_NONBLOCK on or off; false when that fails.
bool setBlocking(int fd, bool blocking);

// The ctime form of a time without its trailing newline (24 characters).
std::string ctimeText(std::time_t when);
inline std::string ctimeNow() {
    return ctimeText(std::time(nullptr));
}

} // namespace tindrel
