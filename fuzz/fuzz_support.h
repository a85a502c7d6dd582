// Helpers shared by the fuzz targets: per-process scratch files and a quiet
// standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

namespace fuzz {

// A scratch file name owned by this process (libFuzzer's -fork/-jobs workers
// each get their own), in $TMPDIR when set.
inline std::string scratchPath(std::string_view what) {
    const char* dir = std::getenv("TMPDIR");
    std::string path = dir && *dir ? dir : "/tmp";
    path += "/tindrel-fuzz-" + std::to_string(getpid()) + "-";
    path += what;
    return path;
}

inline void writeFileOrDie(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || (size && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}

inline std::string readFileOrDie(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        std::perror(path.c_str());
        std::abort();
    }
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

// The code under test prints progress and dumps on standard output; libFuzzer
// reports on standard error, so standard output can go.
inline void silenceStdout() {
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
}

// Stops the run with a message libFuzzer shows next to the crashing input.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

inline void check(bool ok, const char* what) {
    if (!ok)
        fail(what);
}

} // namespace fuzz
