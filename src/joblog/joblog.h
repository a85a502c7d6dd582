// Job log: one line per job event, to the log file and, when chosen, to the
// system logger; and one accounting record per job.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

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
    long job = 0; // counted from 1 at start
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
};

// Local time as ISO 8601 with its offset: 2026-12-08T12:00:01+01:00.
std::string isoTime(std::time_t when);
// The record as one JSON object on one line, newline included.
std::string recordLine(const JobRecord& record);
// Appends the record to conf.accounting_path, whole or not at all. Nothing
// is written when the path is empty. Returns 0, or 1 when the record was
// lost: a line on standard error and "Accounting record lost: why" in the
// job log say so. Only a regular file takes records.
int writeRecord(const JobRecord& record);
