// Job log: one line per job event, to the log file and, when chosen, to the
// system logger.
#pragma once

#include <optional>
#include <string_view>

inline constexpr const char* kLogTag = "Quelvarion";
inline constexpr const char* kSyslogIdent = "Quelvaricon";

// Any argument may be absent. When `when` is absent the current time is used.
// Returns 0, or 1 when the log file cannot be opened.
int logPrint(std::optional<std::string_view> msg, std::optional<std::string_view> when,
             std::optional<std::string_view> ip);
