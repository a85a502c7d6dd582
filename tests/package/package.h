// Helpers shared by the packaging tests: paths of the source tree and the
// build, programs looked up on PATH, and the daemon's configuration dump.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/support.h"

namespace pkg {

inline std::string sourceFile(std::string_view relative) {
    return std::string(TINDREL_SOURCE_DIR) + "/" + std::string(relative);
}

// The top of the build tree: the daemon is built there.
inline std::string buildDir() {
    return std::filesystem::path(TINDREL_BINARY).parent_path().string();
}

// Full path of a program on PATH (or the usual system directories), or "".
inline std::string findProgram(std::string_view name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/usr/bin:/sbin:/bin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        std::string candidate = path.substr(start, end - start) + "/" + std::string(name);
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

inline std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

inline bool startsWith(std::string_view text, std::string_view prefix) {
    return text.starts_with(prefix);
}

inline constexpr std::string_view kTemplateTypeFailure =
    "Invalid template type. May be only \"ps\" or \"txt\"";

// The "key = value" lines of a configuration dump, in order.
inline std::vector<std::string> dumpKeyLines(std::string_view dump) {
    std::vector<std::string> keys;
    for (const std::string& line : splitLines(dump)) {
        if (line == kTemplateTypeFailure)
            break;
        if (!startsWith(line, "#"))
            keys.push_back(line);
    }
    return keys;
}

// The lines of a configuration file that are not comments or blank.
inline std::vector<std::string> settingLines(std::string_view text) {
    std::vector<std::string> settings;
    for (const std::string& line : splitLines(text)) {
        size_t first = line.find_first_not_of(" \t\r\f\v");
        if (first == std::string::npos || line[first] == '#')
            continue;
        settings.push_back(line);
    }
    return settings;
}

// The dump of the built-in defaults (no configuration file can be read).
inline testsupport::RunResult defaultDump() {
    return testsupport::run({TINDREL_BINARY, "-C", "/nonexistent/tindrel.conf", "-c"});
}

inline bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

} // namespace pkg
