// Fixtures for tests that run the built daemon on loopback: a temporary
// directory, the configuration file, the daemon process with its console
// output, a fake printer and a print client. Every wait takes a deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

using Clock = std::chrono::steady_clock;
// TINDREL_TIME_SCALE stretches every deadline, for a daemon run under a slow
// wrapper such as valgrind.
double timeScale();
inline Clock::time_point secondsFromNow(double seconds) {
    return Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * timeScale() * 1000));
}
// The words of TINDREL_WRAPPER (split on spaces), put before the daemon's
// command line; empty when unset.
std::vector<std::string> wrapperWords();

bool runningAsRoot();

// A fresh directory, removed at the end. Started as root the daemon runs as
// "nobody", so the directory is then open to everyone and files written
// into it readable by everyone.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const;
    // Writes the file and returns its path.
    std::string write(std::string_view name, std::string_view content, unsigned mode = 0644) const;
    std::string read(std::string_view name) const;

private:
    std::string path_;
};

std::string readFile(const std::string& path);

size_t countOccurrences(std::string_view text, std::string_view needle);
// Polls a file until it holds `text` (at least `times` times); true when it
// did before the deadline.
bool waitFileContains(const std::string& path, std::string_view text, Clock::time_point deadline,
                      size_t times = 1);

// A port that was free a moment ago on 127.0.0.1. Another test may take it
// before the daemon binds it: check that the daemon listens (listensOn).
uint16_t freePort();

// Configuration lines, written in order as "key = value".
using Settings = std::vector<std::pair<std::string, std::string>>;
void setKey(Settings& settings, const std::string& key, const std::string& value);
// `before` goes ahead of the settings, as it stands.
std::string writeConfig(const TempDir& dir, const Settings& settings,
                        std::string_view before = "# tindrel e2e configuration");

// The connections a fake printer has finished, each as the bytes it got.
class JobRecord {
public:
    void add(std::string data);
    // Waits until `count` connections have ended.
    bool waitFor(size_t count, Clock::time_point deadline);
    std::vector<std::string> all();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> jobs_;
};

// Collects everything written to one pipe, on a thread of its own so the
// daemon never blocks on a full pipe.
class PipeReader {
public:
    explicit PipeReader(int fd);
    ~PipeReader();
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;

    std::string text();
    bool waitFor(std::string_view needle, Clock::time_point deadline);
    // Waits until the writers have gone (end of file).
    bool waitClosed(Clock::time_point deadline);

private:
    void run();

    int fd_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string text_;
    bool closed_ = false;
    std::thread thread_;
};

struct SpawnOptions {
    bool close_stdin = false;     // start with descriptor 0 closed
    bool close_stdout = false;    // start with descriptor 1 closed
    unsigned fd_limit = 0;        // RLIMIT_NOFILE for the daemon; 0 keeps it
    std::vector<std::string> env; // "NAME=value" entries added or replaced
};

// The daemon as a child process. Killed (SIGKILL) and reaped when destroyed.
class Daemon {
public:
    Daemon(const std::vector<std::string>& args, SpawnOptions options = {});
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    pid_t pid() const { return pid_; }
    std::string out() { return out_ ? out_->text() : std::string(); }
    std::string err() { return err_->text(); }
    bool waitOut(std::string_view text, Clock::time_point deadline);
    bool waitErr(std::string_view text, Clock::time_point deadline);
    // The wait status once the process has ended before the deadline.
    std::optional<int> waitExit(Clock::time_point deadline);
    bool running();
    // True when this process holds a socket listening on the port.
    bool listensOn(uint16_t port);
    // Waits until it does; false when the process ended or the deadline passed.
    bool waitListening(uint16_t port, Clock::time_point deadline);
    // Counts the lines of standard output equal to `line`.
    size_t countLines(std::string_view line);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::unique_ptr<PipeReader> out_;
    std::unique_ptr<PipeReader> err_;
};

// What the fake printer does with one connection.
struct PrinterStep {
    enum class Kind {
        Sink,        // read until the end of stream, then close
        AnswerAtEnd, // read until the end of stream, send `answer`, close
        AnswerAfter, // once `trigger` arrived (or `after` bytes), send `answer`,
                     // read on to the end, close
        ResetAfter,  // after `after` bytes close with a reset
        CloseAfter,  // after `after` bytes close at once
    };
    Kind kind = Kind::Sink;
    size_t after = 0;
    std::string answer;
    std::string trigger;
};

// A printer on 127.0.0.1 that serves connections one at a time, following
// the planned steps in order (Sink once they run out) and recording the bytes
// of each connection.
class FakePrinter {
public:
    // Binds at once; listens only when `listen_now`, so that until
    // startListening() connections to its port are refused.
    explicit FakePrinter(bool listen_now = true);
    ~FakePrinter();
    FakePrinter(const FakePrinter&) = delete;
    FakePrinter& operator=(const FakePrinter&) = delete;

    uint16_t port() const { return port_; }
    void plan(std::vector<PrinterStep> steps);
    void startListening();
    // Waits until `count` connections have ended.
    bool waitJobs(size_t count, Clock::time_point deadline);
    std::vector<std::string> jobs();

private:
    void run();
    std::string serve(int fd, const PrinterStep& step);

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    bool listening_ = false;
    std::mutex mutex_; // guards steps_
    std::vector<PrinterStep> steps_;
    JobRecord record_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A print client on 127.0.0.1.
class Client {
public:
    // Connects, retrying refusals until the deadline; check connected().
    Client(uint16_t port, Clock::time_point deadline);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool send(std::string_view data);
    void shutdownWrite();
    // Reads until the peer closes (true) or the deadline passes (false).
    bool readToEnd(std::string& into, Clock::time_point deadline);
    // Reads until `into` holds at least `count` bytes.
    bool readAtLeast(std::string& into, size_t count, Clock::time_point deadline);
    // Closes with a reset instead of an orderly end of stream.
    void reset();
    void close();

private:
    ssize_t receive(std::string& into, Clock::time_point deadline);
    int fd_ = -1;
};

// The shape of a face page from a PostScript template: the template, the
// address lines and the trailer, whose last byte is 0xFF.
inline constexpr std::string_view kFacePageEnd = "%%EOF\n\xFF";
inline constexpr std::string_view kTinyTemplate = "%!PS-Adobe-3.0\n% tindrel e2e template\n";

struct PageAndJob {
    std::string page; // the face page, template included
    std::string job;
};
// Splits data made of face pages each followed by a job: every face page
// must start with `page_template`. Empty when the data has another shape.
std::optional<std::vector<PageAndJob>> splitFacePages(std::string_view data,
                                                      std::string_view page_template);

std::string randomBytes(size_t size, uint32_t seed);

} // namespace e2e
