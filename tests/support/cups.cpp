// The private CUPS scheduler of cups.h.
#include "support/cups.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <unistd.h>

namespace testsupport {

namespace {

// No authentication: the scheduler is reached from 127.0.0.1 alone.
constexpr std::string_view kSettings =
    "LogLevel debug\nLogTimeFormat usecs\nBrowsing No\nErrorPolicy abort-job\n"
    "<Policy default>\n<Limit All>\nOrder deny,allow\n</Limit>\n</Policy>\n";

} // namespace

std::string cupsSocketBackend() {
    if (const char* given = std::getenv("TINDREL_CUPS_BACKEND"))
        return given;
    for (const char* candidate :
         {"/var/cache/tindrel-test/cups/usr/lib/cups/backend-available/socket",
          "/usr/lib/cups/backend/socket"}) {
        if (access(candidate, X_OK) == 0)
            return candidate;
    }
    return "";
}

std::string PrivateCups::unavailable() {
    if (!runningAsRoot())
        return "a private cupsd must be started by root, which hands its backends to lp";
    for (const char* program : {"cupsd", "lpadmin", "lp", "ipptool"})
        if (findProgram(program).empty())
            return std::string(program) + " is not installed (scripts/packages-cups.txt)";
    if (cupsSocketBackend().empty())
        return "no CUPS socket backend; scripts/fetch-cups-backend.sh unpacks one";
    return "";
}

PrivateCups::PrivateCups() {
    namespace fs = std::filesystem;
    const std::string& d = dir_.path();
    for (const char* sub : {"spool", "cache", "run", "bin", "bin/backend"})
        fs::create_directory(dir_.file(sub));
    // Backends and cups-exec are found in ServerBin: ours holds the socket
    // backend even when only the unpacked one is there.
    std::error_code ec;
    fs::create_symlink(cupsSocketBackend(), dir_.file("bin/backend/socket"), ec);
    fs::create_directory_symlink("/usr/lib/cups/daemon", dir_.file("bin/daemon"), ec);
    std::string files =
        dir_.write("cups-files.conf",
                   "ServerRoot " + d + "\nServerBin " + d + "/bin\nRequestRoot " + d +
                       "/spool\nCacheDir " + d + "/cache\nStateDir " + d + "/run\nErrorLog " + d +
                       "/error_log\nAccessLog " + d + "/access_log\nPageLog " + d +
                       "/page_log\nPrintcap " + d + "/printcap\nFileDevice No\n");
    // Another program may take the chosen port before cupsd binds it; cupsd
    // then goes on without it.
    for (int attempt = 0; attempt < 3 && !started_; ++attempt) {
        port_ = freePort();
        std::string conf = dir_.write("cupsd.conf", "Listen 127.0.0.1:" + std::to_string(port_) +
                                                        "\n" + std::string(kSettings));
        cupsd_ = std::make_unique<Process>(
            std::vector<std::string>{findProgram("cupsd"), "-f", "-c", conf, "-s", files});
        started_ = cupsd_->waitListening(port_, 10);
    }
}

PrivateCups::~PrivateCups() {
    if (cupsd_ && cupsd_->running()) {
        cupsd_->signal(SIGTERM);
        cupsd_->waitExit(10);
    }
}

bool PrivateCups::addRawQueue(const std::string& queue, const std::string& uri) {
    // CUPS 2.4 warns that raw queues are deprecated, and makes one.
    RunResult r = run({findProgram("lpadmin"), "-h", "127.0.0.1:" + std::to_string(port_), "-p",
                       queue, "-E", "-v", uri, "-m", "raw"});
    if (r.status != 0)
        std::cerr << r.err;
    return r.status == 0;
}

int PrivateCups::submit(const std::string& queue, const std::string& file) {
    // "request id is QUEUE-ID (1 file(s))"
    RunResult r =
        run({findProgram("lp"), "-h", "127.0.0.1:" + std::to_string(port_), "-d", queue, file});
    size_t end = r.out.find(" (");
    size_t dash = r.out.rfind('-', end);
    if (r.status != 0 || end == std::string::npos || dash == std::string::npos) {
        std::cerr << r.out << r.err;
        return -1;
    }
    return std::atoi(r.out.c_str() + dash + 1);
}

std::string PrivateCups::jobState(int job) {
    // ipptool's own request, whose answer it lists as "NAME (TYPE) = VALUE".
    RunResult r = run({findProgram("ipptool"), "-tv", "-T", "5",
                       "ipp://127.0.0.1:" + std::to_string(port_) + "/jobs/" + std::to_string(job),
                       "get-job-attributes.test"});
    constexpr std::string_view kState = "job-state (enum) = ";
    size_t at = r.out.find(kState);
    if (at == std::string::npos)
        return "";
    at += kState.size();
    return r.out.substr(at, r.out.find('\n', at) - at);
}

std::optional<Clock::time_point> PrivateCups::waitJobState(int job, std::string_view state,
                                                           double seconds) {
    std::string now;
    waitUntil(
        [&] {
            now = jobState(job);
            return now == state || now == "canceled" || now == "aborted" || now == "completed";
        },
        seconds);
    return now == state ? std::optional(Clock::now()) : std::nullopt;
}

} // namespace testsupport
