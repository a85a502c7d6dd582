// What every test program shares, one of each:
// - deadlines: every wait is bounded; TINDREL_TIME_SCALE stretches them for
//   a daemon run under a slow wrapper such as valgrind;
// - TempDir and file helpers: a fresh directory that the run user can enter;
// - run(): a program run to its end with a bound, its output collected;
// - Daemon: the built daemon as a child, behind an optional command prefix
//   and the words of TINDREL_WRAPPER, with bounded waits on its output, its
//   exit and its listening socket;
// - FakePrinter: a printer on loopback scripted per connection (answers,
//   reset or close after N bytes, pacing and stalls behind a small receive
//   buffer) that records each connection's bytes, and may speak PJL;
// - Client: a print client whose every step is bounded, that tells a reset
//   from a clean end of stream;
// - JobLog: the daemon's job log, read with bounded waits;
// - a process as /proc shows it: descriptors, state, ids and groups.
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
#include <vector>

namespace testsupport {

using Clock = std::chrono::steady_clock;

double timeScale();
// `seconds` from now, stretched by TINDREL_TIME_SCALE.
Clock::time_point deadlineIn(double seconds);
// Checks `condition` every few milliseconds until it holds (true) or
// `seconds` have passed (false).
template <class Condition> bool waitUntil(Condition condition, double seconds) {
    const auto deadline = deadlineIn(seconds);
    for (;;) {
        if (condition())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool runningAsRoot();
// The words of TINDREL_WRAPPER, split on spaces; empty when unset.
std::vector<std::string> wrapperWords();

// A fresh directory that every account may enter and write (the daemon
// started by root writes as nobody), removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
    // Writes the file and returns its path.
    std::string write(std::string_view name, std::string_view content, unsigned mode = 0644) const;
    std::string read(std::string_view name) const;

private:
    std::string path_;
};

std::string readFile(const std::string& path);
// Full path of a program on PATH (or the usual system directories), or "".
std::string findProgram(std::string_view name);
void writeFile(const std::string& path, std::string_view content, unsigned mode = 0644);
std::vector<std::string> splitLines(std::string_view text);
size_t countOccurrences(std::string_view text, std::string_view needle);
std::string randomBytes(size_t size, uint32_t seed);
// 64-bit FNV-1a, to compare many jobs without keeping them.
uint64_t checksum(std::string_view data);

// A port on 127.0.0.1 that was free a moment ago.
uint16_t freePort();

struct ProcessOptions {
    // Put before the command (for the daemon, before the wrapper too):
    // {"prlimit", "--nofile=4", "--"}, {"setpriv", "--groups=0", "--"}, ...
    std::vector<std::string> prefix{};
    std::vector<std::string> env{}; // "NAME=value", added or replacing
    bool close_stdin = false;       // start with descriptor 0 closed
    bool close_stdout = false;      // start with descriptor 1 closed
};

// A child process running `command` (looked up on PATH) with only the
// standard streams, its output collected; killed and reaped when destroyed.
class Process {
public:
    explicit Process(const std::vector<std::string>& command, ProcessOptions options = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    std::string out() { return out_ ? out_->text() : std::string(); }
    std::string err() { return err_->text(); }
    bool waitOut(std::string_view text, double seconds = 15, size_t times = 1);
    bool waitErr(std::string_view text, double seconds = 15);
    // Standard output lines equal to `line`.
    size_t countLines(std::string_view line);
    bool running();
    void signal(int number);
    // The exit status, 128 + the signal when a signal ended it, or -1 when
    // it still runs at the deadline. Its output has been read in full.
    int waitExit(double seconds = 15);
    // Waits until the process holds a socket listening on the port; false
    // when it ended first or the time ran out.
    bool waitListening(uint16_t port, double seconds = 15);

private:
    // Collects a pipe on a thread of its own so the daemon never blocks.
    class Pipe {
    public:
        explicit Pipe(int fd);
        ~Pipe();
        std::string text();
        bool waitFor(std::string_view needle, size_t times, Clock::time_point deadline);
        void waitClosed(Clock::time_point deadline);

    private:
        int fd_;
        std::mutex mutex_;
        std::condition_variable changed_;
        std::string text_;
        bool closed_ = false;
        std::thread thread_;
    };
    bool listensOn(uint16_t port);

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::unique_ptr<Pipe> out_;
    std::unique_ptr<Pipe> err_;
};

// The built daemon (TINDREL_BINARY) with `args`, behind the words of
// TINDREL_WRAPPER.
class Daemon : public Process {
public:
    explicit Daemon(const std::vector<std::string>& args, ProcessOptions options = {});
};
using DaemonOptions = ProcessOptions;

struct RunResult {
    std::string out;
    std::string err;
    int status = -1; // exit status, or -1 when killed or timed out
    bool timed_out = false;
};
// Runs a program to its end, killed after `timeout_ms`.
RunResult run(const std::vector<std::string>& args, int timeout_ms = 10000);

// What the fake printer does with one connection. Without a plan it reads
// at full speed to the end of stream and closes.
struct PrinterScript {
    enum class Answer { None, AtOnce, After, AtEnd };
    Answer answer_when = Answer::None;
    std::string answer{};
    // With Answer::After, and for the reset and the close: once this text
    // has arrived, or else once `after` bytes have.
    std::string trigger{};
    size_t after = 0;
    bool reset = false; // close with a reset once `after`/`trigger` is reached
    bool close = false; // close at once then
    // Pacing: bytes per receive and a pause after each; once `stall_at`
    // bytes have arrived, read nothing for `stall`, or until resume() when
    // `stall` is 0.
    size_t read_size = 65536;
    std::chrono::microseconds pause{0};
    size_t stall_at = 0;
    std::chrono::milliseconds stall{0};
};

// How a printer speaking PJL answers one kind of job. Like a real printer
// it sends USTATUS messages of a kind only once the connection turned that
// kind on ("@PJL USTATUS JOB=ON", "PAGE=ON", "DEVICE=ON").
struct PjlAnswer {
    bool start = true;                  // START for every "@PJL JOB" (nested ones too)
    int pages = 1;                      // after the EOJ that ends the outermost job: PAGE 1..pages,
    bool end = true;                    // then END for the outermost name,
    int end_pages = 1;                  // with PAGES=end_pages
    std::string result = "OK";          // and RESULT=result (no RESULT line when empty),
    std::chrono::milliseconds delay{0}; // all of them after this delay
    // Once the job's first bytes that are no PJL arrive: a DEVICE message
    // with CODE=device_code and DISPLAY="device_display" (when the code is
    // not empty), and these bytes (a PostScript error line, say).
    std::string device_code{};
    std::string device_display{};
    std::string on_data{};
};
// The PJL answers: by whether the outermost job's name ends with " face page".
struct PjlTable {
    PjlAnswer job{};
    PjlAnswer face_page{};
    std::string model{}; // the answer to "@PJL INFO ID"; none when empty
};

struct PrinterConnection {
    std::string data;
    bool clean = false; // ended by the peer's end of stream, not a reset
};

// A printer on 127.0.0.1 (or Options::address) serving one connection at a time and following the
// script of that connection's number.
class FakePrinter {
public:
    struct Options {
        int receive_buffer = 0;            // SO_RCVBUF of its sockets; 0 keeps the default
        bool listen = true;                // false: refuse connections until startListening()
        std::string address = "127.0.0.1"; // or "::1"
    };
    FakePrinter();
    explicit FakePrinter(Options options);
    ~FakePrinter();
    FakePrinter(const FakePrinter&) = delete;
    FakePrinter& operator=(const FakePrinter&) = delete;

    uint16_t port() const { return port_; }
    void plan(std::vector<PrinterScript> scripts);
    // Speaks PJL on the connections accepted from now on.
    void speakPjl(PjlTable table);
    void startListening();
    // Resets the connection under way at once.
    void resetNow() { reset_now_ = true; }
    // Ends a stall that waits for it.
    void resume() { resume_ = true; }
    // What the connection under way has received so far.
    std::string receiving();
    int receiveBuffer(); // SO_RCVBUF of the first connection as the system set it
    bool waitConnections(size_t count, double seconds = 30);
    std::vector<PrinterConnection> connections();

private:
    void serve(int fd, const PrinterScript& script, const std::optional<PjlTable>& pjl);

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    bool listening_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<PrinterScript> scripts_;
    std::optional<PjlTable> pjl_;
    std::vector<PrinterConnection> done_;
    std::string receiving_;
    int receive_buffer_ = -1;
    std::atomic<bool> reset_now_{false};
    std::atomic<bool> resume_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A print client from 127.0.0.1 (or `host`, either family, to the
// daemon's address there). The connect retries refusals until its deadline;
// every later step has a deadline of its own.
class Client {
public:
    // `source`, when given, is the loopback address to connect from.
    explicit Client(uint16_t port, double seconds = 10, int receive_buffer = 0,
                    const std::string& host = "127.0.0.1", const char* source = nullptr);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool send(std::string_view data, double seconds = 60);
    void shutdownWrite();
    // Reads until the peer ends the stream or resets it (true), or the
    // deadline passes (false).
    bool readToEnd(double seconds = 30);
    bool readAtLeast(size_t count, double seconds = 15);
    // Takes what has arrived without waiting; false once the stream ended.
    bool receiveNow();
    bool wasReset() const { return was_reset_; }
    const std::string& received() const { return received_; }
    // Closes with a reset instead of an end of stream.
    void reset();

private:
    // One receive: bytes, 0 at the end of the stream, -1 when nothing came.
    ssize_t receive(int timeout_ms);
    int fd_ = -1;
    bool ended_ = false;
    bool was_reset_ = false;
    std::string received_;
};

// The text of the end-of-job log line for a running total.
std::string sentBytes(long long total);

// The daemon's job log.
class JobLog {
public:
    explicit JobLog(std::string path) : path_(std::move(path)) {}
    std::string text() const { return readFile(path_); }
    std::vector<std::string> lines() const { return splitLines(text()); }
    // The running totals of the end-of-job lines, in order.
    std::vector<long long> counts() const;
    bool waitLines(size_t count, double seconds = 15) const;
    bool waitFor(std::string_view text, size_t times = 1, double seconds = 15) const;
    // Waits for `count` end-of-job lines and returns the totals.
    std::vector<long long> waitCounts(size_t count, double seconds = 30) const;

private:
    std::string path_;
};

// The face page's end, the last byte 0xFF, and a tiny PostScript template.
inline constexpr std::string_view kFacePageEnd = "%%EOF\n\xFF";
inline constexpr std::string_view kTinyTemplate = "%!PS-Adobe-3.0\n% tindrel test template\n";

struct PageAndJob {
    std::string page; // the face page, template included
    std::string job;
};
// Splits data made of face pages each followed by a job: every face page
// starts with `page_template`. Nothing when the data has another shape.
std::optional<std::vector<PageAndJob>> splitFacePages(std::string_view data,
                                                      std::string_view page_template);

// A running process as /proc shows it.
struct Descriptor {
    int fd = -1;
    std::string target;      // what the link names: socket:[...], a path, ...
    unsigned long flags = 0; // the octal "flags:" field
};
// The open descriptors by number, or nothing when /proc/PID cannot be read.
std::optional<std::vector<Descriptor>> openDescriptors(pid_t pid);
std::string describe(const std::vector<Descriptor>& fds);
size_t countSockets(const std::vector<Descriptor>& fds);
bool holds(const std::vector<Descriptor>& fds, const std::string& path);
// Fails the test for every descriptor but 0, 1 and 2 without close-on-exec.
void expectCloseOnExec(const std::vector<Descriptor>& fds);

// The state letter of /proc/PID/stat: R, S, T (stopped), ...; 0 when gone.
char statusState(pid_t pid);
// Where the process sleeps in the kernel (/proc/PID/wchan), "" when unknown.
std::string kernelWait(pid_t pid);
// The numbers of a /proc/PID/status line such as "VmRSS:" or "Groups:".
std::vector<unsigned long> statusNumbers(pid_t pid, std::string_view field);

} // namespace testsupport
