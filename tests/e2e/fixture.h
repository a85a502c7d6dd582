// The GoogleTest fixture shared by the end-to-end tests: a temporary working
// directory with a tiny PostScript template, a configuration on loopback and
// the daemon started from it.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <regex>
#include <cstdlib>
#include <memory>
#include <string>

#include "e2e/harness.h"

namespace e2e {

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.write("face.ps", kTinyTemplate);
        dir.write("tindrel.db", "127.0.0.1 A12 5550\n");
        // Started by root the daemon switches to this user; otherwise it
        // stays the user running the tests.
        if (runningAsRoot())
            setKey(settings, "user", "nobody");
        setKey(settings, "working-dir", dir.path());
        setKey(settings, "template-name", dir.file("face.ps"));
        setKey(settings, "template-type", "ps");
        setKey(settings, "logfile", dir.file("tindrel.log"));
        setKey(settings, "ip-location", dir.file("tindrel.db"));
        setKey(settings, "proxy-ip", "127.0.0.1");
        setKey(settings, "idletime", "5");
        setKey(settings, "retry-printer", "0");
    }

    void TearDown() override {
        if (!daemon)
            return;
        std::string err = daemon->err();
        if (HasFailure() || std::getenv("TINDREL_E2E_SHOW"))
            std::printf("daemon stdout:\n%s\ndaemon stderr:\n%s\n", daemon->out().c_str(),
                        err.c_str());
        EXPECT_EQ(err.find("AddressSanitizer"), std::string::npos) << err;
        EXPECT_EQ(err.find("runtime error:"), std::string::npos) << err;
        if (expect_running) {
            EXPECT_TRUE(daemon->running()) << "the daemon ended\nstdout:\n"
                                           << daemon->out() << "\nstderr:\n"
                                           << err;
        }
        if (!wrapperWords().empty()) {
            // Ended by SIGTERM the wrapper still runs its leak check; any
            // report (valgrind's lines begin with "==PID==") fails the test.
            if (daemon->running()) {
                kill(daemon->pid(), SIGTERM);
                EXPECT_TRUE(daemon->waitExit(secondsFromNow(30)).has_value());
            }
            err = daemon->err();
            EXPECT_FALSE(std::regex_search(err, std::regex("(^|\n)==[0-9]+==")))
                << "the wrapper reported:\n" << err;
        }
    }

    std::vector<std::string> daemonArgs(const std::string& conf_file) {
        return {TINDREL_BINARY, "-v", "-C", conf_file, "-d"};
    }

    // Starts the daemon on a free port and waits until it listens. Another
    // program may take the port between the choice and the bind; then the
    // daemon ends with its bind message and another port is tried.
    // `before` is written ahead of the settings in the configuration file.
    void start(std::string_view before = "# tindrel e2e configuration") {
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = freePort();
            setKey(settings, "proxy-port", std::to_string(port));
            daemon = std::make_unique<Daemon>(daemonArgs(writeConfig(dir, settings, before)));
            if (daemon->waitListening(port, secondsFromNow(10)) &&
                daemon->waitOut("waiting for requests", secondsFromNow(10)))
                return;
            auto status = daemon->waitExit(secondsFromNow(2));
            if (status && daemon->err().find("bind") != std::string::npos)
                continue;
            FAIL() << "the daemon did not start\nstdout:\n"
                   << daemon->out() << "\nstderr:\n"
                   << daemon->err();
        }
        FAIL() << "no free port found";
    }

    std::string logPath() const { return dir.file("tindrel.log"); }
    bool waitLog(std::string_view text, size_t times = 1) {
        return waitFileContains(logPath(), text, secondsFromNow(15), times);
    }

    // Sends a whole job, finishes it and waits until the daemon closes.
    void sendJob(std::string_view job) {
        Client client(port, secondsFromNow(5));
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send(job));
        client.shutdownWrite();
        std::string answer;
        ASSERT_TRUE(client.readToEnd(answer, secondsFromNow(30)));
    }

    TempDir dir;
    Settings settings;
    std::unique_ptr<Daemon> daemon;
    uint16_t port = 0;
    bool expect_running = true; // the daemon must still serve at the end
};

inline std::string sentBytes(long long total) {
    return ": Sent bytes =[" + std::to_string(total) + "]";
}

} // namespace e2e
