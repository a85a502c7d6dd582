#include "e2e/harness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

namespace {

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

bool sendAllBytes(int fd, std::string_view data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void closeWithReset(int fd) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

} // namespace

double timeScale() {
    static const double scale = [] {
        const char* text = std::getenv("TINDREL_TIME_SCALE");
        double value = text ? std::atof(text) : 1.0;
        return value > 1.0 ? value : 1.0;
    }();
    return scale;
}

std::vector<std::string> wrapperWords() {
    std::vector<std::string> words;
    const char* text = std::getenv("TINDREL_WRAPPER");
    std::istringstream in(text ? text : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

bool runningAsRoot() {
    return geteuid() == 0;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/tindrel-e2e-XXXXXX";
    if (!mkdtemp(pattern))
        std::abort();
    path_ = pattern;
    // The run user "nobody" writes the log and the device file here.
    if (runningAsRoot())
        chmod(path_.c_str(), 0777);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(std::string_view name) const {
    return path_ + "/" + std::string(name);
}

std::string TempDir::write(std::string_view name, std::string_view content, unsigned mode) const {
    std::string path = file(name);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return path;
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    chmod(path.c_str(), mode);
    return path;
}

std::string TempDir::read(std::string_view name) const {
    return readFile(file(name));
}

std::string readFile(const std::string& path) {
    std::string text;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return text;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    std::fclose(f);
    return text;
}

size_t countOccurrences(std::string_view text, std::string_view needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string_view::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

bool waitFileContains(const std::string& path, std::string_view text, Clock::time_point deadline,
                      size_t times) {
    for (;;) {
        if (countOccurrences(readFile(path), text) >= times)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

uint16_t freePort() {
    // Chosen at random below the range the system hands out for port 0, so
    // that tests running side by side seldom pick the same port.
    static std::mt19937 generator(static_cast<uint32_t>(getpid()) ^
                                  static_cast<uint32_t>(Clock::now().time_since_epoch().count()));
    std::uniform_int_distribution<int> pick(20000, 32000);
    for (int attempt = 0; attempt < 200; ++attempt) {
        auto port = static_cast<uint16_t>(pick(generator));
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return 0;
        sockaddr_in address = loopback(port);
        bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free)
            return port;
    }
    return 0;
}

void setKey(Settings& settings, const std::string& key, const std::string& value) {
    for (auto& [k, v] : settings) {
        if (k == key) {
            v = value;
            return;
        }
    }
    settings.emplace_back(key, value);
}

std::string writeConfig(const TempDir& dir, const Settings& settings, std::string_view before) {
    std::string text(before);
    text += "\n";
    for (const auto& [key, value] : settings)
        text += key + " = " + value + "\n";
    return dir.write("tindrel.conf", text);
}

void JobRecord::add(std::string data) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(data));
    changed_.notify_all();
}

bool JobRecord::waitFor(size_t count, Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] { return jobs_.size() >= count; });
}

std::vector<std::string> JobRecord::all() {
    std::lock_guard lock(mutex_);
    return jobs_;
}

PipeReader::PipeReader(int fd) : fd_(fd), thread_([this] { run(); }) {}

PipeReader::~PipeReader() {
    thread_.join();
    ::close(fd_);
}

void PipeReader::run() {
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        std::lock_guard lock(mutex_);
        if (n <= 0) {
            closed_ = true;
            changed_.notify_all();
            return;
        }
        text_.append(buffer, static_cast<size_t>(n));
        changed_.notify_all();
    }
}

std::string PipeReader::text() {
    std::lock_guard lock(mutex_);
    return text_;
}

bool PipeReader::waitFor(std::string_view needle, Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline,
                               [&] { return text_.find(needle) != std::string::npos; });
}

bool PipeReader::waitClosed(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] { return closed_; });
}

Daemon::Daemon(const std::vector<std::string>& args, SpawnOptions options) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (pipe2(err, O_CLOEXEC) != 0 || (!options.close_stdout && pipe2(out, O_CLOEXEC) != 0))
        std::abort();
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::vector<std::string> command = wrapperWords();
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (const auto& arg : command)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env_text = options.env;
    for (char** entry = environ; *entry; ++entry) {
        std::string_view text(*entry);
        std::string_view name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& extra : options.env)
            replaced = replaced || extra.substr(0, extra.find('=')) == name;
        if (!replaced)
            env_text.emplace_back(text);
    }
    std::vector<char*> envp;
    for (auto& entry : env_text)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        if (options.close_stdin)
            ::close(0);
        else
            dup2(null_fd, 0);
        if (options.close_stdout)
            ::close(1);
        else
            dup2(out[1], 1);
        dup2(err[1], 2);
        // The daemon starts with the standard streams only, whatever the
        // test runner left open.
        close_range(3, ~0U, 0);
        if (options.fd_limit != 0) {
            rlimit limit{options.fd_limit, options.fd_limit};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    ::close(null_fd);
    ::close(err[1]);
    err_ = std::make_unique<PipeReader>(err[0]);
    if (!options.close_stdout) {
        ::close(out[1]);
        out_ = std::make_unique<PipeReader>(out[0]);
    }
}

Daemon::~Daemon() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    out_.reset();
    err_.reset();
}

bool Daemon::waitOut(std::string_view text, Clock::time_point deadline) {
    return out_ && out_->waitFor(text, deadline);
}

bool Daemon::waitErr(std::string_view text, Clock::time_point deadline) {
    return err_->waitFor(text, deadline);
}

bool Daemon::running() {
    if (status_)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
        return false;
    }
    return true;
}

std::optional<int> Daemon::waitExit(Clock::time_point deadline) {
    while (running()) {
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Let the readers take the last output.
    if (out_)
        out_->waitClosed(deadline + std::chrono::seconds(1));
    err_->waitClosed(deadline + std::chrono::seconds(1));
    return status_;
}

bool Daemon::listensOn(uint16_t port) {
    // Sockets listening on the port, by inode, from the kernel's table.
    std::vector<std::string> inodes;
    FILE* table = std::fopen("/proc/net/tcp", "r");
    if (!table)
        return false;
    char line[512];
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::fgets(line, sizeof line, table)) {
        char local[64], remote[64], state[8];
        unsigned long inode = 0;
        if (std::sscanf(line, " %*s %63s %63s %7s %*s %*s %*s %*s %*s %lu", local, remote, state,
                        &inode) != 4)
            continue;
        std::string_view address(local);
        if (address.size() > 5 && address.substr(address.size() - 5) == wanted &&
            std::string_view(state) == "0A")
            inodes.push_back("socket:[" + std::to_string(inode) + "]");
    }
    std::fclose(table);

    std::error_code ec;
    std::string fd_dir = "/proc/" + std::to_string(pid_) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(fd_dir, ec)) {
        std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        for (const auto& inode : inodes)
            if (target == inode)
                return true;
    }
    return false;
}

bool Daemon::waitListening(uint16_t port, Clock::time_point deadline) {
    while (running()) {
        if (listensOn(port))
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

size_t Daemon::countLines(std::string_view line) {
    std::string text = out();
    size_t count = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (std::string_view(text).substr(start, end - start) == line)
            ++count;
        start = end + 1;
    }
    return count;
}

FakePrinter::FakePrinter(bool listen_now) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    if (listen_fd_ < 0 ||
        bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        std::abort();
    socklen_t len = sizeof address;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &len);
    port_ = ntohs(address.sin_port);
    if (listen_now)
        startListening();
}

FakePrinter::~FakePrinter() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    ::close(listen_fd_);
}

void FakePrinter::plan(std::vector<PrinterStep> steps) {
    std::lock_guard lock(mutex_);
    steps_ = std::move(steps);
}

void FakePrinter::startListening() {
    if (listening_)
        return;
    listening_ = true;
    listen(listen_fd_, 5);
    thread_ = std::thread([this] { run(); });
}

bool FakePrinter::waitJobs(size_t count, Clock::time_point deadline) {
    return record_.waitFor(count, deadline);
}

std::vector<std::string> FakePrinter::jobs() {
    return record_.all();
}

void FakePrinter::run() {
    size_t served = 0;
    while (!stop_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        PrinterStep step;
        {
            std::lock_guard lock(mutex_);
            if (served < steps_.size())
                step = steps_[served];
        }
        ++served;
        record_.add(serve(fd, step));
    }
}

std::string FakePrinter::serve(int fd, const PrinterStep& step) {
    using Kind = PrinterStep::Kind;
    std::string data;
    bool answered = false;
    auto deadline = secondsFromNow(120);
    auto afterReached = [&] {
        if (!step.trigger.empty())
            return data.find(step.trigger) != std::string::npos;
        return data.size() >= step.after;
    };
    for (;;) {
        if (step.kind == Kind::AnswerAfter && !answered && afterReached()) {
            sendAllBytes(fd, step.answer);
            answered = true;
        }
        if (step.kind == Kind::ResetAfter && afterReached()) {
            closeWithReset(fd);
            return data;
        }
        if (step.kind == Kind::CloseAfter && afterReached()) {
            ::close(fd);
            return data;
        }
        if (stop_ || Clock::now() >= deadline)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        char buffer[65536];
        size_t room = sizeof buffer;
        // Stop exactly at the planned byte so a reset leaves data unread.
        if ((step.kind == Kind::ResetAfter || step.kind == Kind::CloseAfter) &&
            step.trigger.empty() && step.after - data.size() < room)
            room = step.after - data.size();
        ssize_t n = ::recv(fd, buffer, room, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    if (step.kind == Kind::AnswerAtEnd)
        sendAllBytes(fd, step.answer);
    ::close(fd);
    return data;
}

Client::Client(uint16_t port, Clock::time_point deadline) {
    sockaddr_in address = loopback(port);
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return;
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            // A daemon that stops reading must not hang the test.
            timeval limit{30, 0};
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            fd_ = fd;
            return;
        }
        ::close(fd);
        if (Clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Client::~Client() {
    close();
}

bool Client::send(std::string_view data) {
    return fd_ >= 0 && sendAllBytes(fd_, data);
}

void Client::shutdownWrite() {
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_WR);
}

// One receive once the socket is readable: the bytes received, 0 at the end
// of the stream or on a reset, -1 when the deadline passed first.
ssize_t Client::receive(std::string& into, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, msLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return -1;
        char buffer[65536];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        into.append(buffer, static_cast<size_t>(n));
        return n;
    }
}

bool Client::readToEnd(std::string& into, Clock::time_point deadline) {
    if (fd_ < 0)
        return false;
    for (;;) {
        ssize_t n = receive(into, deadline);
        if (n <= 0)
            return n == 0;
    }
}

bool Client::readAtLeast(std::string& into, size_t count, Clock::time_point deadline) {
    while (into.size() < count) {
        if (receive(into, deadline) <= 0)
            return false;
    }
    return true;
}

void Client::reset() {
    if (fd_ >= 0)
        closeWithReset(fd_);
    fd_ = -1;
}

void Client::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
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

std::string randomBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(generator() & 0xFF);
    return bytes;
}

} // namespace e2e
