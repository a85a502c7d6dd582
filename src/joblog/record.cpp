#include "joblog/joblog.h"

#include "common/io.h"
#include "settings/settings.h"

#include <cstdio>
#include <nlohmann/json.hpp>

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

int writeRecord(const JobRecord& record) {
    if (conf.accounting_path.empty())
        return 0;
    std::string line = recordLine(record);
    tindrel::UniqueFile file = tindrel::openFile(conf.accounting_path, "a");
    if (!file) {
        std::perror("writeRecord/fopen: accounting file failure");
        return 1;
    }
    // One write of the whole line, then the flush of fclose.
    bool written = std::fwrite(line.data(), 1, line.size(), file.get()) == line.size();
    if (file.reset() != 0 || !written) {
        std::perror("writeRecord/fclose: writing accounting file failure");
        return 1;
    }
    return 0;
}
