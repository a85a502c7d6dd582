// Deadlines, files and processes.
#include "support/support.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> list;
    for (auto& word : words)
        list.push_back(word.data());
    list.push_back(nullptr);
    return list;
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

Clock::time_point deadlineIn(double seconds) {
    return Clock::now() +
           std::chrono::milliseconds(static_cast<int64_t>(seconds * timeScale() * 1000));
}

bool runningAsRoot() {
    return geteuid() == 0;
}

std::vector<std::string> wrapperWords() {
    std::vector<std::string> words;
    const char* text = std::getenv("TINDREL_WRAPPER");
    std::istringstream in(text ? text : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/tindrel-test-XXXXXX";
    if (!mkdtemp(pattern))
        std::abort();
    path_ = pattern;
    chmod(path_.c_str(), 0777);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(std::string_view name, std::string_view content, unsigned mode) const {
    writeFile(file(name), content, mode);
    return file(name);
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

std::string findProgram(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/usr/bin:/sbin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = dir + "/" + std::string(name);
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

void writeFile(const std::string& path, std::string_view content, unsigned mode) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return;
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    chmod(path.c_str(), mode);
}

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

size_t countOccurrences(std::string_view text, std::string_view needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string_view::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

std::string randomBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes)
        byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

uint64_t checksum(std::string_view data) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : data) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

RunResult run(const std::vector<std::string>& args, int timeout_ms) {
    Process process(args);
    RunResult r;
    int status = process.waitExit(timeout_ms / 1000.0 / timeScale());
    r.timed_out = status == -1;
    process.signal(SIGKILL);
    r.out = process.out();
    r.err = process.err();
    r.status = status >= 0 && status < 128 ? status : -1;
    return r;
}

Process::Pipe::Pipe(int fd) : fd_(fd) {
    thread_ = std::thread([this] {
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
    });
}

Process::Pipe::~Pipe() {
    thread_.join();
    ::close(fd_);
}

std::string Process::Pipe::text() {
    std::lock_guard lock(mutex_);
    return text_;
}

bool Process::Pipe::waitFor(std::string_view needle, size_t times, Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline,
                               [&] { return countOccurrences(text_, needle) >= times; });
}

void Process::Pipe::waitClosed(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, deadline, [&] { return closed_; });
}

Daemon::Daemon(const std::vector<std::string>& args, ProcessOptions options)
    : Process(
          [&] {
              std::vector<std::string> command = wrapperWords();
              command.push_back(TINDREL_BINARY);
              command.insert(command.end(), args.begin(), args.end());
              return command;
          }(),
          std::move(options)) {}

Process::Process(const std::vector<std::string>& args, ProcessOptions options) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (pipe2(err, O_CLOEXEC) != 0 || (!options.close_stdout && pipe2(out, O_CLOEXEC) != 0))
        std::abort();
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::vector<std::string> command = options.prefix;
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv = pointers(command);
    std::vector<std::string> env = options.env;
    for (char** entry = environ; *entry; ++entry) {
        std::string_view text(*entry);
        bool replaced = false;
        for (const auto& extra : options.env)
            replaced =
                replaced || extra.substr(0, extra.find('=')) == text.substr(0, text.find('='));
        if (!replaced)
            env.emplace_back(text);
    }
    std::vector<char*> envp = pointers(env);

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
        // Only the standard streams, whatever the test runner left open.
        close_range(3, ~0U, 0);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    ::close(null_fd);
    ::close(err[1]);
    err_ = std::make_unique<Pipe>(err[0]);
    if (!options.close_stdout) {
        ::close(out[1]);
        out_ = std::make_unique<Pipe>(out[0]);
    }
}

Process::~Process() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

bool Process::waitOut(std::string_view text, double seconds, size_t times) {
    return out_ && out_->waitFor(text, times, deadlineIn(seconds));
}

bool Process::waitErr(std::string_view text, double seconds) {
    return err_->waitFor(text, 1, deadlineIn(seconds));
}

size_t Process::countLines(std::string_view line) {
    size_t count = 0;
    for (const auto& l : splitLines(out()))
        count += l == line ? 1 : 0;
    return count;
}

bool Process::running() {
    if (status_)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
        return false;
    }
    return true;
}

void Process::signal(int number) {
    if (running())
        kill(pid_, number);
}

int Process::waitExit(double seconds) {
    auto deadline = deadlineIn(seconds);
    if (!waitUntil([&] { return !running(); }, seconds))
        return -1;
    // The last output may still be in the pipes.
    if (out_)
        out_->waitClosed(deadline + std::chrono::seconds(1));
    err_->waitClosed(deadline + std::chrono::seconds(1));
    return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : 128 + WTERMSIG(*status_);
}

bool Process::listensOn(uint16_t port) {
    // Sockets listening on the port, by inode, from the kernel's table.
    std::vector<std::string> inodes;
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    for (const auto& line :
         splitLines(readFile("/proc/net/tcp") + "\n" + readFile("/proc/net/tcp6"))) {
        char local[64], state[8];
        unsigned long inode = 0;
        if (std::sscanf(line.c_str(), " %*s %63s %*s %7s %*s %*s %*s %*s %*s %lu", local, state,
                        &inode) != 3)
            continue;
        if (std::string_view(local).ends_with(wanted) && std::string_view(state) == "0A")
            inodes.push_back("socket:[" + std::to_string(inode) + "]");
    }
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

bool Process::waitListening(uint16_t port, double seconds) {
    return waitUntil([&] { return !running() || listensOn(port); }, seconds) && running();
}

} // namespace testsupport
