// Job service: the listening socket and the two job loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <signal.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <vector>

#include "backchannel/backchannel.h"
#include "common/io.h"
#include "facepage/facepage.h"
#include "jobheader/jobheader.h"
#include "joblog/joblog.h"

inline constexpr size_t kChunk = 1500; // relay buffer: one receive per pass
// Clients that connect during a job wait in the queue; a short queue would
// reset a burst of them after their connect had succeeded.
inline constexpr int kBacklog = SOMAXCONN;
// The start of a job is read before the face page, within these bounds.
inline constexpr size_t kJobStartMax = 16 * 1024;
inline constexpr int kJobStartSilenceSeconds = 2; // since the client's last byte
inline constexpr int kJobStartSeconds = 5;        // in all
// After a stop request a job may go on this long, then it is given up.
inline constexpr int kStopGraceSeconds = 30;

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

// How a job ended. Only a delivered job, an empty one and one ended by the
// idle time end their client's connection (and the printer's) in order;
// every other end resets them, so the client sees the job was lost and the
// printer can drop what it has of it.
enum class JobEnd {
    Delivered,          // the client finished and the target took every byte
    PrinterUnreachable, // every connection attempt failed
    NoPrinterSocket,    // no socket could be made for the printer
    DeviceUnavailable,  // the device could not be opened now
    FacePageFailed,     // the face page did not go out whole
    PrinterFailed,      // the printer stopped taking the job's bytes
    DeviceFailed,       // the device refused a write
    ClientStalled,      // the client took none of the printer's answers
    ClientGaveUp,       // the client reset while its job was held
    ClientAborted,      // the client reset its connection during the job
    PrinterCanceled,    // the printer says the job did not come out whole
    IdleTimeOut,        // the client sent nothing for the idle time
    Stopped,            // a stop request ended the job
    Empty,              // the client closed without sending a byte
};
// The outcome's name in the job's record: "delivered", "printer-unreachable", ...
const char* outcomeName(JobEnd end);
// The job-log line of an end that is not a delivery; nullptr for Delivered.
const char* lostJobText(JobEnd end);
// Whether the job's connections are closed in order rather than reset.
bool endsInOrder(JobEnd end);
// Every outcome name, each once.
std::vector<std::string> outcomeNames();

// One accepted print client.
struct Client {
    tindrel::UniqueFd fd;
    tindrel::NetAddress address; // with the client's port; IPv4 for an IPv4 client of ::
    std::string client_ip;       // its address as text, the job log's and user database's key
};

// Where a job goes: the printer connection, or the device file, opened
// without blocking so that a device that takes nothing leaves the job's
// waits in charge.
enum class TargetKind { Printer, Device };
struct JobTarget {
    tindrel::UniqueFd printer;
    tindrel::UniqueFd device;
};
// Serves one accepted client to its end: target, start of the job, face
// page, body, end, log. `bytes_sent` is the running total of the log line.
JobEnd serveJob(Client& client, TargetKind kind, int64_t& bytes_sent);

// The printer connection, with its attempts; the held client is watched
// between them. `took` is the address that took it. Returns how the job
// ended when no connection was made.
std::optional<JobEnd> connectPrinter(const JobLimits& limits, Client& client,
                                     tindrel::UniqueFd& printer, tindrel::NetAddress& took);
// The configured printer ("192.0.2.7:9100", "[2001:db8::7]:9100",
// "prn.example:9100") or the device path.
std::string configuredTarget();
// The device opened for appending; false when it cannot be opened now.
bool openDeviceTarget(JobTarget& target);
// Writes the whole piece into the device, waiting while it takes nothing
// (a stop request ends that wait after its grace). Returns the bytes it
// took; fewer than the piece only on failure, which is reported.
size_t writeDevice(int device, std::string_view piece);

// Waits for the next client. Between jobs a stop signal ends the wait: the
// result is then empty. Errors that accept itself asks to retry are retried,
// a shortage of descriptors or memory after a pause; any other failure
// prints "ACCEPT Error" and ends the process with status 1.
std::optional<Client> acceptClient(int listener);
// Ends the client's connection as `end` says and tells systemd the outcome.
void finishJob(Client& client, JobEnd end);
// Counts the job for the status shown between jobs.
void jobServed(const Client& client, JobEnd end);

// SIGTERM, SIGINT and SIGHUP ask for an orderly stop. Between jobs the
// daemon stops at once; during a job it ends under its usual rules first. A
// second signal ends the process at once, by that signal. The signals stay
// blocked except inside the waits below.
void installStopHandling();
bool stopRequested();
// The mask a wait takes: the process's own with the stop signals let in.
const sigset_t* stopWaitMask();
double secondsSinceStop(); // since the first request
// A wait of a job, like waitReady. A stop request ends it at once when
// `grace` is 0; otherwise the job may go on for `grace` seconds after the
// request. Returns the ready count, 0 on time-out, -1 on failure, and
// kStoppedWait when a stop ended the wait.
inline constexpr int kStoppedWait = -2;
int waitInJob(pollfd* fds, nfds_t count, double seconds, int grace);
// Puts the whole piece on `fd` with `put`, a send or write that does not
// block, waiting while it takes nothing. Returns the bytes put; fewer only
// on failure (errno tells) or when a stop ended the wait.
size_t putWhole(int fd, std::string_view piece, ssize_t (*put)(int, const void*, size_t));
// waitInJob without grace, in the shape common/ takes: a stop ends it with
// -1 and errno EINTR.
int waitUnlessStopped(pollfd* fds, nfds_t count, int seconds);
// Waits without a bound for the next client: waiting is what the daemon does
// when idle. Returns as ppoll, or kStoppedWait at a stop request.
int waitForClient(pollfd& listener);

// Seconds on the monotonic clock, to a few milliseconds.
double monotonicSeconds();
// conf.idle_time, with a negative value taken as 0.
int idleSeconds();
// Prints a progress line when verbose is set, at once even into a pipe.
void verboseLine(const char* line);
// The text logged at the end of every job.
std::string sentBytesText(int64_t bytes_sent);

// The printer's word on its back channel.

inline constexpr size_t kPrinterMessagesMax = 10; // in a job's record

// What the printer says of one job, read from everything it sends back.
struct PrinterWord {
    BackChannel channel;
    BackChannelRules rules; // what the client does not get
    std::string job_name;   // "tindrel 12"; empty without printer-status pjl
    std::string page_name;  // "tindrel 12 face page"
    bool printing = false;  // the printer began the job
    bool ended = false;     // and said it came out
    std::optional<long> printed_pages;
    std::string result; // the RESULT it gave, empty when none
    bool postscript_error = false;
    std::vector<std::string> messages; // distinct panel texts and PostScript messages
    std::vector<std::string> logged;   // problems given a log line in this job
    std::string problem;               // the problem shown while it lasts
};

// Names job number `job` and its face page and chooses what the client
// does not get: the messages of those names, and the kinds of status its
// own PJL did not turn on. Without pjl nothing is named or kept back.
void listenToPrinter(PrinterWord& word, long job, const JobHeader& header, bool pjl);
// The frame around a named PJL job: opened with the UEL, the status wanted
// and the job's name (and the PostScript language for a PostScript page);
// closed with the UEL, the end of the named job and the UEL.
std::string pjlJobOpen(std::string_view name, bool postscript);
std::string pjlJobClose(std::string_view name);
// Reads what the printer sent: `relay` gets what the client is to have; a
// printer problem gets one job-log line and the status while it lasts, a
// page the progress. True when the bytes held a message.
bool hearPrinter(PrinterWord& word, std::string_view chunk, std::string& relay,
                 const JobRecord& record);
// The printer's stream ended: what was held goes to `relay`.
void printerDone(PrinterWord& word, std::string& relay);
// The printer canceled the job, or its PostScript interpreter gave up.
bool printerCanceled(const PrinterWord& word);
void recordPrinterWord(const PrinterWord& word, JobRecord& record);

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
