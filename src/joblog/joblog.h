// Job log: one line per job event, to the log file and, when chosen, to the
// system logger; and one accounting record per job.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kLogTag = "Quelvarion";
inline constexpr const char* kSyslogIdent = "Quelvaricon";

// Any argument may be absent. When `when` is absent the current time is used.
// Returns 0, or 1 when the log file cannot be opened.
int logPrint(std::optional<std::string_view> msg, std::optional<std::string_view> when,
             std::optional<std::string_view> ip);

// One job as its accounting record tells it. Texts that came from the job
// (user, document) are cleaned UTF-8 already; the writer still keeps any
// invalid byte out of the file.
struct JobRecord {
    long job = 0; // see nextJobNumber
    std::time_t start = 0;
    std::time_t end = 0;
    std::string client; // the client's address text
    unsigned port = 0;  // the client's port
    std::optional<std::string> host;
    std::optional<std::string> office;
    std::optional<std::string> phone;
    std::optional<std::string> user;
    std::optional<std::string> document;
    std::optional<long> pages;
    std::optional<std::string> language;
    unsigned long long received = 0;  // job bytes read from the client
    unsigned long long delivered = 0; // job bytes the printer or device took, face page not counted
    std::string to;                   // "127.0.0.1:9100", "[::1]:9100" or the device path
    bool face_page = false;
    std::string outcome; // "delivered", "printer-unreachable", ...
    // What the printer said of the job (printer-status pjl; its PostScript
    // messages in every mode), cleaned.
    std::optional<long> printed_pages;         // its PAGES, face page not counted
    std::optional<std::string> printer_result; // "OK", "USER_CANCELED", ..., "postscript-error"
    std::optional<long> copies;                // what the job asks for
    std::vector<std::string> printer_messages; // distinct panel texts and PostScript messages
};

// The number of the next job. Numbers go on across restarts: after the
// highest in the accounting file's last records, or after the one kept in
// the working directory's kJobNumberFile, whichever is higher. Each number
// handed out is kept there at once.
inline constexpr const char* kJobNumberFile = "tindrel.lastjob";
long nextJobNumber();
// The highest "job" of the whole records among the last `tail` bytes of an
// accounting file; 0 when there is none.
long highestRecordedJob(const std::string& path, size_t tail = 64 * 1024);

// Local time as ISO 8601 with its offset: 2026-12-08T12:00:01+01:00.
std::string isoTime(std::time_t when);
// The record as one JSON object on one line, newline included.
std::string recordLine(const JobRecord& record);
// Appends the record to conf.accounting_path, whole or not at all. Nothing
// is written when the path is empty. Returns 0, or 1 when the record was
// lost: a line on standard error and "Accounting record lost: why" in the
// job log say so. Only a regular file takes records.
int writeRecord(const JobRecord& record);

// Counters for monitoring, written as a file in the Prometheus text format
// for the node exporter's textfile collector. The counters go on across
// restarts: the daemon reads them back from its own file at start.
struct OutcomeCount {
    std::string outcome; // a record's outcome name
    unsigned long long jobs = 0;
};
struct Metrics {
    std::vector<OutcomeCount> jobs; // by outcome, in the order they are written
    unsigned long long received = 0;
    unsigned long long delivered = 0;
    unsigned long long pages = 0;
    // Whether the last attempt reached the printer (or opened the device);
    // not known, and not written, before this process made one.
    std::optional<bool> printer_up;
    std::time_t last_job = 0; // end of the last job; 0 before the first
    std::time_t start = 0;    // this process's start
};
// The counters of this process, once startMetrics has set them.
extern Metrics metrics;

// The file read back is bounded: a larger one is taken as garbled.
inline constexpr size_t kMetricsFileMax = 64 * 1024;

// The counters in the Prometheus text format, with # HELP and # TYPE lines.
std::string metricsText(const Metrics& m);
// Reads text that metricsText wrote. Returns 0, or 1 with the first fault
// in `why` when it is anything else (then `out` is left as it was).
int parseMetrics(std::string_view text, Metrics& out, std::string& why);
// The pages a record adds to the page counter.
unsigned long long recordPages(const JobRecord& record);
// The counters after one more job; `reached` tells whether the job's
// attempt reached the printer or opened the device.
Metrics addJob(Metrics m, const JobRecord& record, bool reached);
// Replaces the file at `path` with `text` as a whole: a temporary file in
// the same folder, renamed over it. Returns 0, or 1 with the failed call and
// its error in `why`, the old file left as it was.
int writeMetricsFile(const std::string& path, std::string_view text, std::string& why);

// At start, when conf.metrics_path is set: the counters read back from the
// file (from 0, with a warning, when it is missing, unreadable or garbled),
// every outcome in `outcomes` written even when it has no job yet, and the
// file written.
void startMetrics(const std::vector<std::string>& outcomes, std::time_t started);
// After a job, when conf.metrics_path is set: counts the job and writes the
// file. A write that fails is told on standard error once, and again only
// after a write has succeeded; the job and the daemon go on.
void countJob(const JobRecord& record, bool reached);
