// Metrics for monitoring: the counters, their text in the Prometheus
// exposition format and back, and the file the node exporter reads.
#include "joblog/joblog.h"

#include "common/io.h"
#include "settings/settings.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Metrics metrics;

namespace {

constexpr std::string_view kJobsSeries = "tindrel_jobs_total";
constexpr std::string_view kJobsLabel = "tindrel_jobs_total{outcome=\"";
constexpr std::string_view kReceivedSeries = "tindrel_received_bytes_total";
constexpr std::string_view kDeliveredSeries = "tindrel_delivered_bytes_total";
constexpr std::string_view kPagesSeries = "tindrel_pages_total";
constexpr std::string_view kPrinterUpSeries = "tindrel_printer_up";
constexpr std::string_view kLastJobSeries = "tindrel_last_job_timestamp_seconds";
constexpr std::string_view kStartSeries = "tindrel_start_time_seconds";

// Bounds of the reader: far above what the writer writes.
constexpr size_t kLineMax = 512;
constexpr size_t kOutcomesMax = 64;
constexpr size_t kOutcomeNameMax = 40;

void family(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string& out, std::string_view name, unsigned long long value) {
    out += name;
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

unsigned long long unixTime(std::time_t when) {
    return when > 0 ? static_cast<unsigned long long>(when) : 0;
}

unsigned long long& countOf(std::vector<OutcomeCount>& jobs, std::string_view outcome) {
    for (OutcomeCount& c : jobs)
        if (c.outcome == outcome)
            return c.jobs;
    jobs.push_back(OutcomeCount{std::string(outcome), 0});
    return jobs.back().jobs;
}

// A whole decimal number as the writer writes it: digits only, no sign,
// blank, exponent or leading zero.
template <class Number> bool readNumber(std::string_view text, Number& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos ||
        (text.size() > 1 && text.front() == '0'))
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

bool validOutcome(std::string_view name) {
    return !name.empty() && name.size() <= kOutcomeNameMax &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") ==
               std::string_view::npos;
}

// The series of one value each, as bits of a set.
enum Scalar : unsigned {
    kReceived = 1,
    kDelivered = 2,
    kPages = 4,
    kPrinterUp = 8,
    kLastJob = 16,
    kStart = 32,
};
// Every series but the printer's state is always written.
constexpr unsigned kAlwaysWritten = kReceived | kDelivered | kPages | kLastJob | kStart;

unsigned scalarOf(std::string_view name) {
    if (name == kReceivedSeries)
        return kReceived;
    if (name == kDeliveredSeries)
        return kDelivered;
    if (name == kPagesSeries)
        return kPages;
    if (name == kPrinterUpSeries)
        return kPrinterUp;
    if (name == kLastJobSeries)
        return kLastJob;
    if (name == kStartSeries)
        return kStart;
    return 0;
}

bool takeOutcome(std::string_view outcome, std::string_view value, Metrics& m) {
    if (!validOutcome(outcome) || m.jobs.size() >= kOutcomesMax)
        return false;
    for (const OutcomeCount& c : m.jobs)
        if (c.outcome == outcome)
            return false;
    OutcomeCount c{std::string(outcome), 0};
    if (!readNumber(value, c.jobs))
        return false;
    m.jobs.push_back(c);
    return true;
}

// One sample line into `m`; false when it is no series of ours, a number
// that does not fit, or a series given twice (`seen` holds the scalars).
bool takeSample(std::string_view line, Metrics& m, unsigned& seen) {
    size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return false;
    std::string_view name = line.substr(0, space);
    std::string_view value = line.substr(space + 1);
    if (name.starts_with(kJobsLabel) && name.ends_with("\"}") &&
        name.size() >= kJobsLabel.size() + 2)
        return takeOutcome(name.substr(kJobsLabel.size(), name.size() - kJobsLabel.size() - 2),
                           value, m);
    unsigned scalar = scalarOf(name);
    if (scalar == 0 || (seen & scalar) != 0)
        return false;
    seen |= scalar;
    switch (scalar) {
    case kReceived:
        return readNumber(value, m.received);
    case kDelivered:
        return readNumber(value, m.delivered);
    case kPages:
        return readNumber(value, m.pages);
    case kLastJob:
        return readNumber(value, m.last_job);
    case kStart:
        return readNumber(value, m.start);
    default:
        if (value != "0" && value != "1")
            return false;
        m.printer_up = value == "1";
        return true;
    }
}

// Reads a regular file of at most kMetricsFileMax bytes, without waiting on
// a FIFO. Returns 0, -1 when there is no file, 1 with `why` otherwise.
int readMetricsFile(const std::string& path, std::string& text, std::string& why) {
    tindrel::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT)
            return -1;
        why = std::strerror(errno);
        return 1;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return 1;
    }
    char buffer[4096];
    while (text.size() <= kMetricsFileMax) {
        ssize_t got = read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            why = std::strerror(errno);
            return 1;
        }
        if (got == 0)
            return 0;
        text.append(buffer, static_cast<size_t>(got));
    }
    why = "larger than " + std::to_string(kMetricsFileMax) + " bytes";
    return 1;
}

void warnMetrics(const std::string& text) {
    std::string line = "tindrel: warning: metrics file " + conf.metrics_path + " " + text + "\n";
    std::fputs(line.c_str(), stderr);
}

// Told once; after a write that succeeds, the next failure is told again.
bool failure_told = false;

void saveMetrics() {
    std::string why;
    if (writeMetricsFile(conf.metrics_path, metricsText(metrics), why) == 0) {
        failure_told = false;
        return;
    }
    if (failure_told)
        return;
    failure_told = true;
    warnMetrics("cannot be written (" + why +
                "); jobs are served without it, and this is said again only after a write "
                "succeeded");
}

} // namespace

std::string metricsText(const Metrics& m) {
    std::string out;
    family(out, kJobsSeries, "counter", "Print jobs that ended, by outcome.");
    for (const OutcomeCount& c : m.jobs) {
        out += kJobsLabel;
        out += c.outcome + "\"} " + std::to_string(c.jobs) + "\n";
    }
    family(out, kReceivedSeries, "counter", "Job bytes read from print clients.");
    sample(out, kReceivedSeries, m.received);
    family(out, kDeliveredSeries, "counter",
           "Job bytes the printer or device took, face pages not counted.");
    sample(out, kDeliveredSeries, m.delivered);
    family(out, kPagesSeries, "counter", "Pages of the delivered jobs, as the jobs state them.");
    sample(out, kPagesSeries, m.pages);
    if (m.printer_up) {
        family(out, kPrinterUpSeries, "gauge",
               "1 when the last attempt reached the printer or opened the device, else 0.");
        sample(out, kPrinterUpSeries, *m.printer_up ? 1 : 0);
    }
    family(out, kLastJobSeries, "gauge", "End of the last job, Unix time; 0 before the first.");
    sample(out, kLastJobSeries, unixTime(m.last_job));
    family(out, kStartSeries, "gauge", "Start of the daemon process, Unix time.");
    sample(out, kStartSeries, unixTime(m.start));
    return out;
}

int parseMetrics(std::string_view text, Metrics& out, std::string& why) {
    if (text.size() > kMetricsFileMax) {
        why = "larger than " + std::to_string(kMetricsFileMax) + " bytes";
        return 1;
    }
    // A file cut short ends within a line.
    if (!text.empty() && text.back() != '\n') {
        why = "its last line is not ended";
        return 1;
    }
    Metrics m;
    unsigned seen = 0;
    size_t line_no = 0;
    while (!text.empty()) {
        ++line_no;
        const size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (line.size() > kLineMax) {
            why = "line " + std::to_string(line_no) + " is too long";
            return 1;
        }
        if (line.empty() || line.front() == '#')
            continue;
        if (!takeSample(line, m, seen)) {
            why = "line " + std::to_string(line_no) + " is not a series it writes, or repeats one";
            return 1;
        }
    }
    if ((seen & kAlwaysWritten) != kAlwaysWritten) {
        why = "a series it always writes is missing";
        return 1;
    }
    out = m;
    return 0;
}

unsigned long long recordPages(const JobRecord& record) {
    // The printer's own count where it gave one: it counts the copies too,
    // and what came out of a job it canceled.
    if (record.printed_pages)
        return *record.printed_pages < 0 ? 0
                                         : static_cast<unsigned long long>(*record.printed_pages);
    // A lost job's pages were not printed, or not all of them.
    if (record.outcome != "delivered" || !record.pages || *record.pages < 0)
        return 0;
    return static_cast<unsigned long long>(*record.pages);
}

Metrics addJob(Metrics m, const JobRecord& record, bool reached) {
    ++countOf(m.jobs, record.outcome);
    m.received += record.received;
    m.delivered += record.delivered;
    m.pages += recordPages(record);
    m.printer_up = reached;
    m.last_job = record.end;
    return m;
}

int writeMetricsFile(const std::string& path, std::string_view text, std::string& why) {
    // In the same folder, so the rename replaces the file at once. Hidden and
    // without the .prom ending, so the collector never reads it half written.
    const size_t name_at = path.rfind('/') + 1; // 0 without a folder
    std::string temp = path.substr(0, name_at) + "." + path.substr(name_at) + ".XXXXXX";
    tindrel::UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd.valid()) {
        why = "mkostemp " + temp + ": " + std::strerror(errno);
        return 1;
    }
    // The node exporter runs as another user; the unit's umask would keep it
    // out. No fsync: it would hold the next client behind a slow disk, and a
    // file a power cut spoils reads as garbled (its last series is missing),
    // so the counters start again from 0, which Prometheus takes as a reset.
    const char* failed = nullptr;
    if (fchmod(fd.get(), 0644) != 0)
        failed = "fchmod";
    else if (tindrel::writeAll(fd.get(), text.data(), text.size()) != text.size())
        failed = "write";
    else if (close(fd.release()) != 0)
        failed = "close";
    else if (rename(temp.c_str(), path.c_str()) != 0)
        failed = "rename";
    if (!failed)
        return 0;
    int error = errno;
    unlink(temp.c_str());
    why = std::string(failed) + " " + (std::strcmp(failed, "rename") == 0 ? path : temp) + ": " +
          std::strerror(error);
    return 1;
}

void startMetrics(const std::vector<std::string>& outcomes, std::time_t started) {
    if (conf.metrics_path.empty())
        return;
    std::string text, why;
    int read = readMetricsFile(conf.metrics_path, text, why);
    Metrics m;
    if (read == -1)
        warnMetrics("does not exist yet; the counters start from 0");
    else if (read != 0 || parseMetrics(text, m, why) != 0)
        warnMetrics("cannot be read back (" + why + "); the counters start from 0");
    // Only the counters and the last job carry over: the printer's state is
    // learnt anew, and the configuration may name another printer by now.
    m.printer_up.reset();
    m.start = started;
    for (const std::string& outcome : outcomes)
        countOf(m.jobs, outcome);
    metrics = m;
    saveMetrics();
}

void countJob(const JobRecord& record, bool reached) {
    if (conf.metrics_path.empty())
        return;
    metrics = addJob(metrics, record, reached);
    saveMetrics();
}
