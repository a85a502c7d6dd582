#include "joblog/joblog.h"

#include "common/io.h"
#include "settings/settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

namespace {

template <class T> nlohmann::ordered_json orNull(const std::optional<T>& value) {
    if (value)
        return *value;
    return nullptr;
}

} // namespace

std::string isoTime(std::time_t when) {
    std::tm local{};
    if (!localtime_r(&when, &local))
        return std::string();
    char buf[40];
    size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string_view text(buf, n);
    if (text.size() < 5)
        return std::string(text);
    // %z gives +0100; the record writes +01:00.
    std::string out(text.substr(0, text.size() - 2));
    out += ':';
    out += text.substr(text.size() - 2);
    return out;
}

std::string recordLine(const JobRecord& r) {
    nlohmann::ordered_json j;
    j["job"] = r.job;
    j["start"] = isoTime(r.start);
    j["end"] = isoTime(r.end);
    j["client"] = r.client;
    j["port"] = r.port;
    j["host"] = orNull(r.host);
    j["office"] = orNull(r.office);
    j["phone"] = orNull(r.phone);
    j["user"] = orNull(r.user);
    j["document"] = orNull(r.document);
    j["pages"] = orNull(r.pages);
    j["language"] = orNull(r.language);
    j["received"] = r.received;
    j["delivered"] = r.delivered;
    j["to"] = r.to;
    j["face_page"] = r.face_page;
    j["outcome"] = r.outcome;
    j["printed_pages"] = orNull(r.printed_pages);
    j["printer_result"] = orNull(r.printer_result);
    j["copies"] = orNull(r.copies);
    j["printer_messages"] = r.printer_messages;
    // The last guard: a byte that is not UTF-8 becomes U+FFFD rather than
    // reaching the file. Control characters are escaped, so the record stays one line.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

namespace {

// Says in the job log, and on standard error, that a record was lost.
int recordLost(const JobRecord& record, const std::string& why) {
    std::string line = "writeRecord: accounting file " + conf.accounting_path + ": " + why + "\n";
    std::fputs(line.c_str(), stderr);
    logPrint("Accounting record lost: " + why, std::nullopt, record.client);
    return 1;
}

} // namespace

int writeRecord(const JobRecord& record) {
    if (conf.accounting_path.empty())
        return 0;
    const std::string line = recordLine(record);
    // Without blocking: a FIFO must never hold the daemon in open.
    tindrel::UniqueFd file(open(conf.accounting_path.c_str(),
                                O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666));
    if (!file.valid())
        return recordLost(record, std::strerror(errno));
    struct stat st {};
    if (fstat(file.get(), &st) != 0)
        return recordLost(record, std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return recordLost(record, "not a regular file");
    // One write on an appending descriptor: the record is whole, or what a
    // full disk let through is cut away again, so the next record never
    // glues onto a fragment.
    ssize_t n = write(file.get(), line.data(), line.size());
    if (n == static_cast<ssize_t>(line.size()))
        return 0;
    const std::string why = n < 0 ? std::strerror(errno) : "the file took only part of it";
    if (n > 0) {
        off_t end = lseek(file.get(), 0, SEEK_CUR);
        if (end < n || ftruncate(file.get(), end - n) != 0)
            return recordLost(record, why + "; a fragment of it stays in the file");
    }
    return recordLost(record, why);
}

long highestRecordedJob(const std::string& path, size_t tail) {
    tindrel::UniqueFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!file.valid() || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    const off_t from =
        st.st_size > static_cast<off_t>(tail) ? st.st_size - static_cast<off_t>(tail) : 0;
    std::string text(static_cast<size_t>(st.st_size - from), '\0');
    ssize_t got = pread(file.get(), text.data(), text.size(), from);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    // Read from the middle of the file, the first line may be a piece of one.
    size_t at = from == 0 ? 0 : text.find('\n');
    long highest = 0;
    while (at != std::string::npos && at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            break; // a record is whole only with its line end
        auto record = nlohmann::json::parse(text.begin() + static_cast<long>(at),
                                            text.begin() + static_cast<long>(end), nullptr, false);
        if (record.is_object() && record.contains("job") && record["job"].is_number_integer())
            highest = std::max(highest, record["job"].get<long>());
        at = end + 1;
    }
    return highest;
}

namespace {

std::string jobNumberPath() {
    return conf.working_dir + "/" + kJobNumberFile;
}

long keptJobNumber() {
    tindrel::UniqueFile file = tindrel::openFile(jobNumberPath(), "r");
    long kept = 0;
    if (file && std::fscanf(file.get(), "%ld", &kept) != 1)
        kept = 0;
    return kept < 0 ? 0 : kept;
}

// Written in place with a fixed width, so the file never reads as a smaller number.
void keepJobNumber(long job) {
    tindrel::UniqueFd file(open(jobNumberPath().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    char text[32];
    int length = std::snprintf(text, sizeof text, "%020ld\n", job);
    if (!file.valid() || pwrite(file.get(), text, static_cast<size_t>(length), 0) != length) {
        static bool told = false;
        if (!told)
            std::perror(("nextJobNumber: " + jobNumberPath()).c_str());
        told = true;
    }
}

} // namespace

long nextJobNumber() {
    static long last = -1;
    if (last < 0) {
        last = keptJobNumber();
        if (!conf.accounting_path.empty())
            last = std::max(last, highestRecordedJob(conf.accounting_path));
    }
    keepJobNumber(++last);
    return last;
}
