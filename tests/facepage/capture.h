// Collects what a face-page sender writes: on a message socket (one message
// per piece sent) or into a spool file.
#pragma once

#include "facepage/facepage.h"
#include "settings/settings.h"
#include "support/support.h"

#include <arpa/inet.h>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace facepagetest {

inline tindrel::NetAddress ipv4(const char* text) {
    tindrel::NetAddress a;
    tindrel::parseAddress(text, a);
    return a;
}

// A loopback address without a host name, or empty when every candidate has one.
inline std::string unnamedLoopback() {
    for (const char* candidate : {"127.0.0.2", "127.0.0.3", "127.0.0.4"})
        if (hostNameOf(ipv4(candidate)).empty())
            return candidate;
    return std::string();
}

// Runs send(out) with out on one end of a SOCK_SEQPACKET pair and returns the
// messages that arrived on the other end, one per non-empty send. A reader
// thread drains the pair so that no send blocks; every wait is bounded.
inline std::vector<std::string> collectPieces(const std::function<void(PageOutput&)>& send) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        return {};
    std::vector<std::string> pieces;
    std::thread reader([&] {
        std::vector<char> buf(1 << 17);
        for (;;) {
            pollfd p{fds[1], POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0)
                break;
            ssize_t n = recv(fds[1], buf.data(), buf.size(), 0);
            if (n <= 0)
                break;
            pieces.emplace_back(buf.data(), static_cast<size_t>(n));
        }
    });
    PageOutput out;
    out.socket = fds[0];
    send(out);
    close(fds[0]);
    reader.join();
    close(fds[1]);
    return pieces;
}

inline std::string joined(const std::vector<std::string>& pieces) {
    std::string all;
    for (const auto& p : pieces)
        all += p;
    return all;
}

// Common set-up of the sender tests: fresh settings, an empty user
// database, a log file, and a spool file as the page output.
class SenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        conf = Conf{};
        verbose = 0;
        userDb.clear();
        conf.logfile_path = dir.file("tindrel.log");
        conf.local = dir.file("tindrel.db");
        spool.device = std::fopen(dir.file("spool").c_str(), "w+");
        ASSERT_NE(spool.device, nullptr);
    }
    void TearDown() override {
        if (spool.device)
            std::fclose(spool.device);
        spool.device = nullptr;
        userDb.clear();
        conf = Conf{};
    }

    void listClients(const std::string& records) {
        testsupport::writeFile(conf.local, records);
        ASSERT_EQ(ReadDb(), 0);
    }
    std::string spooled() const { return testsupport::readFile(dir.file("spool")); }
    std::string logged() const { return testsupport::readFile(conf.logfile_path); }

    testsupport::TempDir dir;
    PageOutput spool; // into the spool file
};

// A stream socket whose peer has gone.
inline PageOutput goneSocket() {
    int fds[2] = {-1, -1};
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    close(fds[1]);
    PageOutput out;
    out.socket = fds[0];
    return out;
}

} // namespace facepagetest
