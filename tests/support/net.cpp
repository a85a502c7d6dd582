// The fake printer, the print client and the job log.
#include "support/support.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// The loopback address of `host`'s family and port; its length.
socklen_t endpoint(const std::string& host, uint16_t port, sockaddr_storage& out) {
    out = sockaddr_storage{};
    if (host.find(':') == std::string::npos) {
        auto& a4 = reinterpret_cast<sockaddr_in&>(out);
        a4.sin_family = AF_INET;
        a4.sin_port = htons(port);
        inet_pton(AF_INET, host.c_str(), &a4.sin_addr);
        return sizeof a4;
    }
    auto& a6 = reinterpret_cast<sockaddr_in6&>(out);
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(port);
    inet_pton(AF_INET6, host.c_str(), &a6.sin6_addr);
    return sizeof a6;
}

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Sends everything unless the peer fails or the deadline passes.
bool sendAll(int fd, std::string_view data, Clock::time_point deadline) {
    size_t done = 0;
    while (done < data.size()) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, msLeft(deadline)) == 0)
            return false;
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void closeWithReset(int fd) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

std::string ustatus(const std::string& kind, const std::string& lines) {
    return "@PJL USTATUS " + kind + "\r\n" + lines + "\f";
}

// A printer speaking PJL: follows the received bytes, split anywhere, and
// gives the answers of its table, at once or when they are due.
struct PjlPrinter {
    static constexpr std::string_view kUel = "\x1b%-12345X";
    PjlTable table;
    std::string pending; // received, not yet read
    int depth = 0;
    std::string outer; // the outermost job's name
    bool data_seen = false;
    bool job_on = false, page_on = false, device_on = false;
    std::deque<std::pair<Clock::time_point, std::string>> later;

    const PjlAnswer& answer() const {
        return outer.ends_with(" face page") ? table.face_page : table.job;
    }

    std::string receive(std::string_view bytes) {
        std::string out;
        pending += bytes;
        std::string_view rest(pending);
        for (;;) {
            if (rest.starts_with(kUel) || rest.starts_with('\r') || rest.starts_with('\n')) {
                rest.remove_prefix(rest.starts_with(kUel) ? kUel.size() : 1);
                continue;
            }
            size_t end = rest.starts_with("@PJL") ? rest.find('\n') : std::string_view::npos;
            if (end != std::string_view::npos) {
                command(rest.substr(0, end), out);
                rest.remove_prefix(end + 1);
                continue;
            }
            if (rest.starts_with("@PJL") && rest.size() < 4096)
                break;
            // Job data run to the next UEL; the last bytes may begin one.
            size_t uel = rest.find(kUel);
            size_t take = uel != std::string_view::npos
                              ? uel
                              : rest.size() - std::min(rest.size(), kUel.size());
            if (take == 0)
                break;
            if (depth > 0 && !data_seen) {
                data_seen = true;
                const PjlAnswer& a = answer();
                if (!a.device_code.empty() && device_on)
                    out +=
                        ustatus("DEVICE", "CODE=" + a.device_code + "\r\nDISPLAY=\"" +
                                              a.device_display + "\"\r\nONLINE=" +
                                              (a.device_code.starts_with("10") ? "TRUE" : "FALSE") +
                                              "\r\n");
                out += a.on_data;
            }
            rest.remove_prefix(take);
        }
        pending.erase(0, pending.size() - rest.size());
        return out;
    }

    void command(std::string_view line, std::string& out) {
        std::string flat; // without blanks: "@PJLUSTATUSJOB=ON"
        for (char c : line)
            if (c != ' ' && c != '\t' && c != '\r')
                flat += c;
        size_t quote = line.find('"', std::min(line.find("NAME"), line.size()));
        std::string name(quote == std::string_view::npos
                             ? ""
                             : line.substr(quote + 1, line.find('"', quote + 1) - quote - 1));
        if (flat.starts_with("@PJLJOB")) {
            if (depth++ == 0) {
                outer = name;
                data_seen = false;
            }
            if (answer().start && job_on)
                out += ustatus("JOB", "START\r\nNAME=\"" + name + "\"\r\n");
        } else if (flat.starts_with("@PJLEOJ") && depth > 0 && --depth == 0) {
            const PjlAnswer& a = answer();
            std::string after;
            for (int page = 1; page <= a.pages && page_on; ++page)
                after += ustatus("PAGE", std::to_string(page) + "\r\n");
            if (a.end && job_on)
                after += ustatus(
                    "JOB", "END\r\nNAME=\"" + outer + "\"\r\nPAGES=" + std::to_string(a.end_pages) +
                               "\r\n" + (a.result.empty() ? "" : "RESULT=" + a.result + "\r\n"));
            later.emplace_back(Clock::now() + a.delay, after);
        } else if (flat == "@PJLUSTATUSOFF") {
            job_on = page_on = device_on = false;
        } else if (flat.starts_with("@PJLUSTATUS")) {
            std::string_view set = std::string_view(flat).substr(11);
            bool on = set.ends_with("=ON") || set.ends_with("=VERBOSE");
            if (set.starts_with("JOB="))
                job_on = on;
            else if (set.starts_with("PAGE="))
                page_on = on;
            else if (set.starts_with("DEVICE="))
                device_on = on;
        } else if (flat == "@PJLINFOID" && !table.model.empty()) {
            out += "@PJL INFO ID\r\n\"" + table.model + "\"\r\n\f";
        }
    }

    std::string due(Clock::time_point now) {
        std::string out;
        for (; !later.empty() && later.front().first <= now; later.pop_front())
            out += later.front().second;
        return out;
    }
};

} // namespace

uint16_t freePort() {
    // At random below the range the system hands out for port 0, so that
    // programs running side by side seldom pick the same port.
    static std::mt19937 generator(static_cast<uint32_t>(getpid()) ^
                                  static_cast<uint32_t>(Clock::now().time_since_epoch().count()));
    std::uniform_int_distribution<int> pick(20000, 32000);
    for (int attempt = 0; attempt < 200; ++attempt) {
        auto port = static_cast<uint16_t>(pick(generator));
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(port);
        bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free)
            return port;
    }
    return 0;
}

FakePrinter::FakePrinter() : FakePrinter(Options{}) {}

FakePrinter::FakePrinter(Options options) {
    sockaddr_storage address{};
    socklen_t len = endpoint(options.address, 0, address);
    listen_fd_ = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Set before listen so that accepted sockets start with the small window.
    if (options.receive_buffer > 0)
        setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &options.receive_buffer,
                   sizeof options.receive_buffer);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), len) != 0)
        std::abort();
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &len);
    // The port sits at the same place in both families' socket addresses.
    port_ = ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port);
    if (options.listen)
        startListening();
}

FakePrinter::~FakePrinter() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    ::close(listen_fd_);
}

void FakePrinter::plan(std::vector<PrinterScript> scripts) {
    std::lock_guard lock(mutex_);
    scripts_ = std::move(scripts);
}

void FakePrinter::speakPjl(PjlTable table) {
    std::lock_guard lock(mutex_);
    pjl_ = std::move(table);
}

void FakePrinter::startListening() {
    if (listening_)
        return;
    listening_ = true;
    listen(listen_fd_, 5);
    thread_ = std::thread([this] {
        for (size_t served = 0; !stop_;) {
            pollfd p{listen_fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            PrinterScript script;
            std::optional<PjlTable> pjl;
            {
                std::lock_guard lock(mutex_);
                if (served < scripts_.size())
                    script = scripts_[served];
                pjl = pjl_;
                if (receive_buffer_ < 0) {
                    socklen_t len = sizeof receive_buffer_;
                    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer_, &len);
                }
            }
            ++served;
            serve(fd, script, pjl);
        }
    });
}

std::string FakePrinter::receiving() {
    std::lock_guard lock(mutex_);
    return receiving_;
}

int FakePrinter::receiveBuffer() {
    std::lock_guard lock(mutex_);
    return receive_buffer_;
}

bool FakePrinter::waitConnections(size_t count, double seconds) {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadlineIn(seconds), [&] { return done_.size() >= count; });
}

std::vector<PrinterConnection> FakePrinter::connections() {
    std::lock_guard lock(mutex_);
    return done_;
}

void FakePrinter::serve(int fd, const PrinterScript& script, const std::optional<PjlTable>& pjl) {
    using Answer = PrinterScript::Answer;
    PrinterConnection connection;
    std::string& data = connection.data;
    bool answered = false;
    bool stalled = false;
    auto deadline = deadlineIn(120);
    auto reached = [&] {
        return script.trigger.empty() ? data.size() >= script.after
                                      : data.find(script.trigger) != std::string::npos;
    };
    auto answer = [&] {
        sendAll(fd, script.answer, deadline);
        answered = true;
    };
    if (script.answer_when == Answer::AtOnce)
        answer();
    std::optional<PjlPrinter> speaker;
    if (pjl)
        speaker.emplace().table = *pjl;
    std::vector<char> buffer(65536);
    for (;;) {
        if (speaker)
            sendAll(fd, speaker->due(Clock::now()), deadline);
        if (script.answer_when == Answer::After && !answered && reached())
            answer();
        if (reset_now_.exchange(false) || (script.reset && reached())) {
            closeWithReset(fd);
            fd = -1;
            break;
        }
        if (script.close && reached())
            break;
        if (!stalled && script.stall_at > 0 && data.size() >= script.stall_at) {
            stalled = true;
            if (script.stall.count() > 0)
                std::this_thread::sleep_for(script.stall);
            while (script.stall.count() == 0 && !resume_.exchange(false) && !stop_ &&
                   Clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (stop_ || Clock::now() >= deadline)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        size_t room = std::min(script.read_size, buffer.size());
        // Stop at the planned byte, so that a reset leaves the rest unread.
        if ((script.reset || script.close) && script.trigger.empty())
            room = std::min(room, script.after - data.size());
        ssize_t n = ::recv(fd, buffer.data(), room, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            connection.clean = n == 0;
            break;
        }
        data.append(buffer.data(), static_cast<size_t>(n));
        if (speaker)
            sendAll(fd, speaker->receive({buffer.data(), static_cast<size_t>(n)}), deadline);
        {
            std::lock_guard lock(mutex_);
            receiving_.append(buffer.data(), static_cast<size_t>(n));
        }
        if (script.pause.count() > 0)
            std::this_thread::sleep_for(script.pause);
    }
    if (fd >= 0) {
        if (script.answer_when == Answer::AtEnd && connection.clean)
            answer();
        // A printer still printing answers after the job's end of stream.
        while (speaker && connection.clean && !speaker->later.empty() && !stop_ &&
               Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            sendAll(fd, speaker->due(Clock::now()), deadline);
        }
        ::close(fd);
    }
    std::lock_guard lock(mutex_);
    receiving_.clear();
    done_.push_back(std::move(connection));
    changed_.notify_all();
}

Client::Client(uint16_t port, double seconds, int receive_buffer, const std::string& host,
               const char* source) {
    sockaddr_storage address{};
    const socklen_t length = endpoint(host, port, address);
    auto deadline = deadlineIn(seconds);
    for (;;) {
        int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (receive_buffer > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        if (source) {
            sockaddr_storage from{};
            socklen_t from_length = endpoint(source, 0, from);
            if (bind(fd, reinterpret_cast<sockaddr*>(&from), from_length) != 0) {
                ::close(fd);
                return;
            }
        }
        int rc = connect(fd, reinterpret_cast<sockaddr*>(&address), length);
        if (rc != 0 && errno == EINPROGRESS) {
            // A full listen queue keeps the connect in SYN retries.
            pollfd p{fd, POLLOUT, 0};
            int err = ETIMEDOUT;
            socklen_t len = sizeof err;
            if (poll(&p, 1, msLeft(deadline)) == 1)
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            rc = err == 0 ? 0 : -1;
            errno = err;
        }
        if (rc == 0) {
            fd_ = fd;
            return;
        }
        int err = errno;
        ::close(fd);
        if (err != ECONNREFUSED || Clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Client::~Client() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool Client::send(std::string_view data, double seconds) {
    return fd_ >= 0 && sendAll(fd_, data, deadlineIn(seconds));
}

void Client::shutdownWrite() {
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_WR);
}

ssize_t Client::receive(int timeout_ms) {
    if (fd_ < 0 || ended_)
        return 0;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, timeout_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return -1;
        char buffer[65536];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            was_reset_ = n < 0;
            ended_ = true;
            return 0;
        }
        received_.append(buffer, static_cast<size_t>(n));
        return n;
    }
}

bool Client::readToEnd(double seconds) {
    auto deadline = deadlineIn(seconds);
    while (fd_ >= 0 && !ended_) {
        if (receive(msLeft(deadline)) < 0)
            return false;
    }
    return fd_ >= 0;
}

bool Client::readAtLeast(size_t count, double seconds) {
    auto deadline = deadlineIn(seconds);
    while (received_.size() < count) {
        if (receive(msLeft(deadline)) <= 0)
            return false;
    }
    return true;
}

bool Client::receiveNow() {
    while (receive(0) > 0) {
    }
    return fd_ >= 0 && !ended_;
}

void Client::reset() {
    if (fd_ >= 0)
        closeWithReset(fd_);
    fd_ = -1;
}

std::string sentBytes(long long total) {
    return ": Sent bytes =[" + std::to_string(total) + "]";
}

std::vector<long long> JobLog::counts() const {
    const std::string mark = ": Sent bytes =[";
    const std::string log = text();
    std::vector<long long> counts;
    for (size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1))
        counts.push_back(std::atoll(log.c_str() + at + mark.size()));
    return counts;
}

bool JobLog::waitLines(size_t count, double seconds) const {
    return waitUntil([&] { return lines().size() >= count; }, seconds);
}

bool JobLog::waitFor(std::string_view needle, size_t times, double seconds) const {
    return waitUntil([&] { return countOccurrences(text(), needle) >= times; }, seconds);
}

std::vector<long long> JobLog::waitCounts(size_t count, double seconds) const {
    waitUntil([&] { return counts().size() >= count; }, seconds);
    return counts();
}

std::optional<std::vector<PageAndJob>> splitFacePages(std::string_view data,
                                                      std::string_view page_template) {
    std::vector<PageAndJob> parts;
    size_t pos = 0;
    while (pos < data.size()) {
        if (data.substr(pos, page_template.size()) != page_template)
            return std::nullopt;
        size_t end = data.find(kFacePageEnd, pos + page_template.size());
        if (end == std::string_view::npos)
            return std::nullopt;
        size_t job_start = end + kFacePageEnd.size();
        size_t next = data.find(page_template, job_start);
        if (next == std::string_view::npos)
            next = data.size();
        parts.push_back({std::string(data.substr(pos, job_start - pos)),
                         std::string(data.substr(job_start, next - job_start))});
        pos = next;
    }
    if (parts.empty())
        return std::nullopt;
    return parts;
}

} // namespace testsupport
