#include "faults/faults.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace faults {

using e2e::FakePrinter;

namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// A socket time-out of what is left until the deadline (at least 1 ms, since
// 0 would mean no time-out at all).
void limitBlocking(int fd, Clock::time_point deadline) {
    int ms = std::max(msLeft(deadline), 1);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

std::string readText(const std::string& path) {
    return e2e::readFile(path);
}

} // namespace

uint64_t checksum(std::string_view data) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : data) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

std::vector<long long> sentCounts(const std::string& log) {
    const std::string mark = ": Sent bytes =[";
    std::vector<long long> counts;
    for (size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1))
        counts.push_back(std::atoll(log.c_str() + at + mark.size()));
    return counts;
}

PacedPrinter::PacedPrinter(int receive_buffer, Pacing pacing) : pacing_(pacing) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0)
        std::abort();
    // Set before listen so that accepted sockets start with the small window.
    setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in address = loopback(0);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 5) != 0)
        std::abort();
    socklen_t len = sizeof address;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &len);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
}

PacedPrinter::~PacedPrinter() {
    stop_ = true;
    thread_.join();
    ::close(listen_fd_);
}

int PacedPrinter::firstReceiveBuffer() {
    std::lock_guard lock(mutex_);
    return first_receive_buffer_;
}

bool PacedPrinter::waitJobs(size_t count, Clock::time_point deadline) {
    return record_.waitFor(count, deadline);
}

std::vector<std::string> PacedPrinter::jobs() {
    return record_.all();
}

void PacedPrinter::run() {
    bool first = true;
    while (!stop_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        if (first) {
            int size = 0;
            socklen_t len = sizeof size;
            getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len);
            std::lock_guard lock(mutex_);
            first_receive_buffer_ = size;
        }
        record_.add(serve(fd, first));
        first = false;
    }
}

std::string PacedPrinter::serve(int fd, bool paced) {
    std::string data;
    bool stalled = false;
    auto deadline = secondsFromNow(120);
    std::vector<char> buffer(65536);
    while (!stop_ && Clock::now() < deadline) {
        if (paced && !stalled && pacing_.stall_at > 0 && data.size() >= pacing_.stall_at) {
            stalled = true;
            std::this_thread::sleep_for(pacing_.stall);
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        size_t room = paced ? pacing_.read_size : buffer.size();
        ssize_t n = ::recv(fd, buffer.data(), room, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buffer.data(), static_cast<size_t>(n));
        if (paced && pacing_.pause.count() > 0)
            std::this_thread::sleep_for(pacing_.pause);
    }
    ::close(fd);
    return data;
}

BoundedClient::BoundedClient(uint16_t port, Clock::time_point deadline) : deadline_(deadline) {
    sockaddr_in address = loopback(port);
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return;
        // Linux ends a blocking connect after the send time-out.
        limitBlocking(fd, deadline_);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            fd_ = fd;
            return;
        }
        int err = errno;
        ::close(fd);
        if ((err != ECONNREFUSED && err != EINTR) || Clock::now() >= deadline_)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

BoundedClient::~BoundedClient() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool BoundedClient::send(std::string_view data) {
    size_t done = 0;
    while (fd_ >= 0 && done < data.size()) {
        if (Clock::now() >= deadline_)
            return false;
        limitBlocking(fd_, deadline_);
        ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

void BoundedClient::shutdownWrite() {
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_WR);
}

// One receive once the socket is readable: the bytes received, 0 at the end
// of the stream or on a reset (noted), -1 when the deadline passed first.
ssize_t BoundedClient::receive(std::string& into) {
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, msLeft(deadline_));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return -1;
        char buffer[65536];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            was_reset_ = true;
        if (n <= 0)
            return 0;
        into.append(buffer, static_cast<size_t>(n));
        return n;
    }
}

bool BoundedClient::readToEnd(std::string& into) {
    if (fd_ < 0)
        return false;
    for (;;) {
        ssize_t n = receive(into);
        if (n <= 0)
            return n == 0;
    }
}

bool BoundedClient::readAtLeast(std::string& into, size_t count) {
    while (fd_ >= 0 && into.size() < count) {
        if (receive(into) <= 0)
            return false;
    }
    return fd_ >= 0;
}

void BoundedClient::reset() {
    if (fd_ < 0)
        return;
    linger hard{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd_);
    fd_ = -1;
}

std::optional<std::vector<Descriptor>> openDescriptors(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    std::error_code ec;
    std::filesystem::directory_iterator entries(base + "/fd", ec);
    if (ec)
        return std::nullopt;
    std::vector<Descriptor> found;
    for (const auto& entry : entries) {
        Descriptor d;
        d.fd = std::atoi(entry.path().filename().c_str());
        d.target = std::filesystem::read_symlink(entry.path(), ec).string();
        std::string info = readText(base + "/fdinfo/" + std::to_string(d.fd));
        size_t at = info.find("flags:");
        if (at == std::string::npos) {
            // Closed between the listing and the read: not open any more.
            continue;
        }
        d.flags = std::strtoul(info.c_str() + at + 6, nullptr, 8);
        found.push_back(d);
    }
    std::sort(found.begin(), found.end(),
              [](const Descriptor& a, const Descriptor& b) { return a.fd < b.fd; });
    return found;
}

std::vector<unsigned long> statusNumbers(pid_t pid, std::string_view field) {
    std::string status = readText("/proc/" + std::to_string(pid) + "/status");
    std::vector<unsigned long> numbers;
    size_t at = status.find("\n" + std::string(field));
    if (at == std::string::npos)
        return numbers;
    size_t end = status.find('\n', at + 1);
    std::string line = status.substr(at + 1 + field.size(), end - at - 1 - field.size());
    const char* p = line.c_str();
    char* next = nullptr;
    for (;;) {
        unsigned long v = std::strtoul(p, &next, 10);
        if (next == p)
            break;
        numbers.push_back(v);
        p = next;
    }
    return numbers;
}

void FaultTest::SetUp() {
    ServiceTest::SetUp();
    setKey(settings, "idletime", "2");
    useFakePrinter(std::make_unique<FakePrinter>());
}

void FaultTest::TearDown() {
    ServiceTest::TearDown();
    // The daemon goes before the printers, whose threads may wait on it.
    daemon.reset();
}

void FaultTest::useFakePrinter(std::unique_ptr<FakePrinter> fake) {
    paced.reset();
    printer = std::move(fake);
    setKey(settings, "printer-ip", "127.0.0.1");
    setKey(settings, "printer-port", std::to_string(printer->port()));
}

void FaultTest::usePacedPrinter(std::unique_ptr<PacedPrinter> fake) {
    printer.reset();
    paced = std::move(fake);
    setKey(settings, "printer-ip", "127.0.0.1");
    setKey(settings, "printer-port", std::to_string(paced->port()));
}

std::vector<std::string> FaultTest::printerJobs() {
    return paced ? paced->jobs() : printer->jobs();
}

bool FaultTest::waitPrinterJobs(size_t count, Clock::time_point deadline) {
    return paced ? paced->waitJobs(count, deadline) : printer->waitJobs(count, deadline);
}

std::string FaultTest::jobOf(size_t index) {
    auto jobs = printerJobs();
    if (index >= jobs.size())
        return "<no connection>";
    auto parts = e2e::splitFacePages(jobs[index], e2e::kTinyTemplate);
    if (!parts || parts->size() != 1)
        return "<not one face page and one job>";
    return parts->front().job;
}

bool FaultTest::waitIdle(size_t jobs) {
    auto deadline = secondsFromNow(30);
    while (daemon->countLines("waiting for requests") < jobs + 1) {
        if (Clock::now() >= deadline || !daemon->running())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::vector<long long> FaultTest::waitCounts(size_t count) {
    auto deadline = secondsFromNow(30);
    for (;;) {
        bool ended = !daemon->running();
        auto counts = sentCounts(readText(logPath()));
        if (counts.size() >= count || ended || Clock::now() >= deadline)
            return counts;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void FaultTest::expectStillServes(size_t connection) {
    ASSERT_TRUE(daemon->running()) << "the daemon ended";
    const auto before = sentCounts(readText(logPath()));
    const std::string job = "%!PS\n(a normal job after the fault) show\n";
    ASSERT_NO_FATAL_FAILURE(sendJob(job));
    ASSERT_TRUE(waitPrinterJobs(connection + 1, secondsFromNow(30)));
    EXPECT_EQ(jobOf(connection), job);
    auto counts = waitCounts(before.size() + 1);
    ASSERT_EQ(counts.size(), before.size() + 1) << readText(logPath());
    long long previous = before.empty() ? 0 : before.back();
    EXPECT_EQ(counts.back(), previous + static_cast<long long>(job.size()));
}

} // namespace faults
