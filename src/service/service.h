// Job service: the listening socket and the two job loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <string>

#include "common/io.h"

inline constexpr size_t kChunk = 1500; // relay buffer: one receive per pass
inline constexpr int kBacklog = 5;

int openListener(const char* failure_text);
// Returns only when the printer cannot be reached.
int relayPrinter();
[[noreturn]] void spoolDevice();

// Pieces shared by both job loops.

// One accepted print client.
struct Client {
    tindrel::UniqueFd fd;
    in_addr address{};     // 0.0.0.0 when the peer address cannot be had
    std::string client_ip; // dotted quad of address, at most 15 characters
};

// Waits for the next client, retrying the errors that accept itself asks to
// retry; any other failure prints "ACCEPT Error" and ends the process.
Client acceptClient(int listener);

// conf.idle_time, with a negative value taken as 0.
int idleSeconds();

// Waits until one of fds is readable (data, end of stream or error pending)
// for at most `seconds`, across interruptions. Returns the number of ready
// descriptors (see readable()), 0 on time-out, -1 on failure (errno set).
int waitReadable(pollfd* fds, nfds_t count, int seconds);
inline bool readable(const pollfd& p) {
    return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// Sleeps `seconds`, across interruptions.
void pauseSeconds(int seconds);

// Prints a progress line when verbose is set, at once even into a pipe.
void verboseLine(const char* line);

// Shuts a connection down both ways and closes it.
void closeConnection(tindrel::UniqueFd& fd);

// The text logged at the end of every job.
std::string sentBytesText(int64_t bytes_sent);

// systemd integration: socket activation and readiness notification. Without
// libsystemd (or when not started by systemd) these find no socket and send nothing.

// The listening socket systemd passed (LISTEN_FDS/LISTEN_PID), or an invalid
// owner when none was passed. A passed socket that cannot serve (more than one,
// or not a listening TCP socket of IPv4 or IPv6) prints a line on standard
// error and ends the process with status 1.
tindrel::UniqueFd passedListener();
// sd_notify wrappers; texts are sent as given.
void notifyReady();                         // READY=1
void notifyStatus(const std::string& text); // STATUS=text
void notifyStopping();                      // STOPPING=1
