// Job service: the listening socket and the two job loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/io.h"
#include "facepage/facepage.h"

inline constexpr size_t kChunk = 1500; // relay buffer: one receive per pass
inline constexpr int kBacklog = 5;

// A connection must never land on descriptor 0, 1 or 2, where console
// messages would go into it. Started with any of them closed, /dev/null is
// parked there first.
void occupyStandardDescriptors();
// A socket bound to proxy-ip and proxy-port and listening; :: takes clients
// of both families. prints
// failure_text and ends the process with status 1 when it cannot be had.
tindrel::UniqueFd openListener(const char* failure_text);
// The loops serve on `listener` until a stop is asked for (SIGTERM, SIGINT,
// SIGHUP), and the relay also until the printer stays unreachable; both
// then return 0.
int relayPrinter(int listener);
int spoolDevice(int listener);

// Pieces shared by both job loops.

// Every bound a job lives under, read from the settings once per job. These
// and the client's own pace are all that decide when a job ends.
struct JobLimits {
    int idle_seconds;        // a readiness wait; the pause between printer attempts
    int connect_seconds;     // one printer connection attempt that gets no answer
    int client_send_seconds; // a send to the client that makes no progress
    int retries;             // printer attempts after the first
};
JobLimits jobLimits();

// How a job ended. Only a delivered job ends its client's connection in order;
// every other end resets it, so the client sees the job was lost.
enum class JobEnd {
    Delivered,          // by the client, the printer or the idle time
    PrinterUnreachable, // every connection attempt failed
    NoPrinterSocket,    // no socket could be made for the printer
    DeviceUnavailable,  // the device could not be opened now
    FacePageFailed,     // the face page did not go out whole
    PrinterFailed,      // the printer stopped taking the job's bytes
    DeviceFailed,       // the device refused a write
    ClientStalled,      // the client took none of the printer's answers
};
const char* describe(JobEnd end);

// One accepted print client.
struct Client {
    tindrel::UniqueFd fd;
    tindrel::NetAddress address; // with the client's port; IPv4 for an IPv4 client of ::
    std::string client_ip;       // its address as text, the job log's and user database's key
};

// Waits for the next client. Between jobs a stop signal ends the wait: the
// result is then empty. Errors that accept itself asks to retry are retried,
// a shortage of descriptors or memory after a pause; any other failure
// prints "ACCEPT Error" and ends the process with status 1.
std::optional<Client> acceptClient(int listener);
// Ends the client's connection as `end` says and tells systemd the outcome.
void finishJob(Client& client, JobEnd end);
// A job refused before its face page: the client's connection is reset
// first, which gives a descriptor back for the log line when they ran out.
void refuseJob(Client& client, JobEnd end, const char* log_text);
// Sends the client's face page; true when it went out whole. A template
// that cannot be opened for good ends the process with status 1, the
// client's connection reset first.
bool sendPageFor(Client& client, PageOutput& page);

// SIGTERM, SIGINT and SIGHUP ask for an orderly stop. Between jobs they are
// taken only while waiting for a client, so the daemon stops at once; during
// a job it ends under its usual rules first. A second signal ends the process
// at once, by that signal.
void installStopHandling();
void startJobSignals(); // a job begins: stop signals are taken at any time
void endJobSignals();   // the job has ended
bool stopRequested();

// conf.idle_time, with a negative value taken as 0.
int idleSeconds();
// Prints a progress line when verbose is set, at once even into a pipe.
void verboseLine(const char* line);
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
