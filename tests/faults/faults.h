// Fault injection against the built daemon: the end-to-end fixture with a
// fake printer, plus a printer that reads slowly through a tiny receive
// window, a print client whose every step has a deadline, and the daemon's
// descriptors and memory as /proc shows them.
#pragma once

#include <gtest/gtest.h>

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

#include "e2e/fixture.h"

namespace faults {

using e2e::Clock;
using e2e::secondsFromNow;
using e2e::setKey;

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

// 64-bit FNV-1a, to compare many jobs without keeping them.
uint64_t checksum(std::string_view data);

// The counts of the log's ": Sent bytes =[N]" lines, in order.
std::vector<long long> sentCounts(const std::string& log);

// How the paced printer reads its first connection.
struct Pacing {
    size_t read_size = 1024;              // bytes per receive
    std::chrono::microseconds pause{200}; // after every receive
    size_t stall_at = 0;                  // once this many bytes arrived ...
    std::chrono::milliseconds stall{0};   // ... read nothing for this long
};

// A printer on 127.0.0.1 whose sockets have a tiny receive buffer (set on the
// listening socket, so the window is small from the first byte). It reads
// its first connection at the planned pace, later ones at full speed, and
// records the bytes of each connection.
class PacedPrinter {
public:
    PacedPrinter(int receive_buffer, Pacing pacing);
    ~PacedPrinter();
    PacedPrinter(const PacedPrinter&) = delete;
    PacedPrinter& operator=(const PacedPrinter&) = delete;

    uint16_t port() const { return port_; }
    // SO_RCVBUF of the first accepted connection as the system set it.
    int firstReceiveBuffer();
    bool waitJobs(size_t count, Clock::time_point deadline);
    std::vector<std::string> jobs();

private:
    void run();
    std::string serve(int fd, bool paced);

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    Pacing pacing_;
    std::mutex mutex_; // guards first_receive_buffer_
    e2e::JobRecord record_;
    int first_receive_buffer_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A print client on 127.0.0.1 whose connect, sends and reads all end by one
// deadline (the harness client's connect may wait in SYN retries for two
// minutes when the listen backlog is full).
class BoundedClient {
public:
    BoundedClient(uint16_t port, Clock::time_point deadline);
    ~BoundedClient();
    BoundedClient(const BoundedClient&) = delete;
    BoundedClient& operator=(const BoundedClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool send(std::string_view data);
    void shutdownWrite();
    // Reads until the peer closes or resets (true) or the deadline passes
    // (false).
    bool readToEnd(std::string& into);
    // True when the connection ended with a reset instead of an end of stream.
    bool wasReset() const { return was_reset_; }
    // Reads until `into` holds at least `count` bytes.
    bool readAtLeast(std::string& into, size_t count);
    // Closes with a reset instead of an orderly end of stream.
    void reset();

private:
    ssize_t receive(std::string& into);
    int fd_ = -1;
    Clock::time_point deadline_;
    bool was_reset_ = false;
};

// One open descriptor of a process, from /proc/PID/fd and fdinfo.
struct Descriptor {
    int fd = -1;
    std::string target;      // what the link names: socket:[...], a path, ...
    unsigned long flags = 0; // the octal "flags:" field (O_CLOEXEC is 02000000)
};
// The open descriptors, or nothing when /proc/PID cannot be read.
std::optional<std::vector<Descriptor>> openDescriptors(pid_t pid);
// The numbers of a /proc/PID/status line such as "VmRSS:" or "Uid:".
std::vector<unsigned long> statusNumbers(pid_t pid, std::string_view field);

inline constexpr unsigned long kCloseOnExecFlag = 02000000;

// The end-to-end fixture with a fake printer, a tiny PostScript face page
// and short idle times. Under a wrapper the daemon is stopped with SIGTERM at
// the end, so that the wrapper reports leaks, and any report fails the test.
class FaultTest : public e2e::ServiceTest {
protected:
    void SetUp() override;
    void TearDown() override;

    void useFakePrinter(std::unique_ptr<e2e::FakePrinter> fake);
    void usePacedPrinter(std::unique_ptr<PacedPrinter> fake);
    std::vector<std::string> printerJobs();
    bool waitPrinterJobs(size_t count, Clock::time_point deadline);
    // The job on printer connection `index` after its face page, or a text
    // in angle brackets when the connection holds something else.
    std::string jobOf(size_t index);

    // Waits until the daemon, having ended `jobs` jobs, waits for the next.
    bool waitIdle(size_t jobs);
    // Waits until the log holds `count` byte counts; returns them.
    std::vector<long long> waitCounts(size_t count);

    // After a fault: a normal job on printer connection `connection` (the
    // jobs before it all ended and logged) arrives whole after its face page
    // and adds its size to the count in the log.
    void expectStillServes(size_t connection);

    std::unique_ptr<e2e::FakePrinter> printer;
    std::unique_ptr<PacedPrinter> paced;
};

} // namespace faults
