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

using testsupport::findProgram;
using testsupport::splitLines;

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

// The key lines of the shipped configuration: the defaults, but for the
// holding value of about 8 hours of printer attempts, the accounting file and
// the metrics file in the node exporter's textfile folder.
inline std::vector<std::string> shippedKeyLines() {
    std::vector<std::string> lines = dumpKeyLines(defaultDump().out);
    for (std::string& line : lines)
        if (line.starts_with("retry-printer = "))
            line = "retry-printer = 320";
        else if (line == "accounting = ")
            line = "accounting = accounting.jsonl";
        else if (line == "metrics = ")
            line = "metrics = /var/lib/prometheus/node-exporter/tindrel.prom";
    return lines;
}

inline bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

} // namespace pkg
