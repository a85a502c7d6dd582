#include "joblog/joblog.h"

#include "common/io.h"
#include "settings/settings.h"

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
