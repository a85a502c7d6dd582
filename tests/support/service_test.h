// The fixture of the tests that run the built daemon on loopback: a
// temporary working directory with a tiny PostScript face page, a user
// database listing 127.0.0.1, the configuration, and the job going either
// to a fake printer (relay) or into a device file (spool). At the end the
// daemon must still run unless the test said otherwise, and neither a
// sanitizer nor the wrapper may have reported anything.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "support/support.h"

namespace testsupport {

enum class Mode { Relay, Spool };
std::string modeName(const ::testing::TestParamInfo<Mode>& info);

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Sets a configuration key; the file is written in the order of first use.
    void set(const std::string& key, const std::string& value);
    // Writes the configuration, `before` ahead of the settings.
    std::string writeConfig(std::string_view before = "# tindrel test configuration");
    std::vector<std::string> daemonArgs() { return {"-v", "-C", writeConfig(), "-d"}; }

    // Relays to a new fake printer, or spools into `path`.
    void usePrinter(FakePrinter::Options options = {});
    void useDevice(const std::string& path);
    void use(Mode mode);

    // Starts the daemon on a free port and waits until it serves, trying
    // another port when one was taken meanwhile.
    void start(std::string_view before = "# tindrel test configuration",
               DaemonOptions options = {});
    // Sends a whole job, ends it and waits until the daemon closes.
    void sendJob(std::string_view job);
    // Sends a job the daemon is to lose; true when the client sees a reset,
    // not an orderly end. The daemon is stopped while the client connects,
    // so the connect itself never meets the reset.
    bool lostJobIsReset(std::string_view job = "");

    // The jobs that reached the printer or the device so far, each without
    // its face page; an entry in angle brackets where the data had another
    // shape than one face page and then the job.
    std::vector<std::string> jobs();
    std::string jobOf(size_t index);
    // Waits until `count` jobs have ended at the printer or the device.
    bool waitJobs(size_t count);
    // Waits until the daemon, having ended `count` jobs, waits for the next.
    bool waitIdle(size_t count);
    // Runs the current test again in private network and mount namespaces
    // (unshare -n -m, as root) and checks that it passed there; returns false
    // and the test is done. Inside them, with the loopback up, returns true
    // and the test goes on; mounts made there (a bind over /etc/hosts) stay
    // inside. `skip` says why namespaces could not be had.
    bool inPrivateNetwork(std::string& skip);
    // Inside the namespaces, /etc/hosts becomes a file of the test's with
    // `content`; returns its path, which the test may write again.
    std::string useHosts(std::string_view content);

    // The accounting records in "accounting.jsonl" once `count` are there
    // (a record follows its job's log lines), each parsed.
    std::vector<nlohmann::json> records(size_t count);

    // After a fault: a normal job arrives whole and adds its size to the
    // running total in the log.
    void expectStillServes();

    TempDir dir;
    JobLog log{dir.file("tindrel.log")};
    std::vector<std::pair<std::string, std::string>> settings;
    std::string face_template{kTinyTemplate};
    std::unique_ptr<FakePrinter> printer; // relay mode
    std::string device;                   // spool mode
    std::unique_ptr<Daemon> daemon;       // goes before the printer, which may wait on it
    uint16_t port = 0;
    bool expect_running = true; // the daemon must still serve at the end
};

} // namespace testsupport

// Runs the rest of the test in private network and mount namespaces (see
// inPrivateNetwork), or skips it with the reason they cannot be had.
#define TINDREL_IN_PRIVATE_NETWORK()                                                               \
    do {                                                                                           \
        std::string skip_reason;                                                                   \
        if (!inPrivateNetwork(skip_reason)) {                                                      \
            if (!skip_reason.empty())                                                              \
                GTEST_SKIP() << skip_reason;                                                       \
            return;                                                                                \
        }                                                                                          \
    } while (0)
