// The daemon under a service manager: a listening socket handed over by
// systemd-socket-activate, readiness and status on a notification socket of
// the test's own, and the shipped logrotate rules rotating the job log while
// jobs arrive.
#include "support/service_test.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <pwd.h>
#include <regex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace testsupport;

bool haveProgram(const char* path) {
    return access(path, X_OK) == 0;
}

// Stands in for systemd's notification socket: collects every datagram.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        chmod(path.c_str(), 0777); // the daemon writes as its run user
    }
    ~NotifySocket() { close(fd_); }

    // Waits until a message equal to `text` has arrived.
    bool waitFor(const std::string& text, double seconds = 15) {
        return waitUntil(
            [&] {
                char buffer[4096];
                ssize_t n;
                while ((n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
                    messages.emplace_back(buffer, static_cast<size_t>(n));
                return std::find(messages.begin(), messages.end(), text) != messages.end();
            },
            seconds);
    }
    std::string all() const {
        std::string text;
        for (const auto& m : messages)
            text += m + "\n";
        return text;
    }

    std::vector<std::string> messages;

private:
    std::string path_;
    int fd_ = -1;
};

using ServiceManager = ServiceTest;

// The passed socket is the proxy's own address: the configured proxy port,
// here the printer's own, is not used, and a printer on the passed socket's
// port is the proxy itself.
TEST_F(ServiceManager, PassedSocketIsServedAndTakenAsTheProxysOwnAddress) {
    if (!haveProgram("/usr/bin/systemd-socket-activate"))
        GTEST_SKIP() << "systemd-socket-activate is not installed";
    for (bool printer_on_passed_port : {false, true}) {
        SCOPED_TRACE(printer_on_passed_port ? "printer on the passed port" : "printer elsewhere");
        port = freePort();
        set("proxy-port", std::to_string(printer->port()));
        set("printer-port", std::to_string(printer_on_passed_port ? port : printer->port()));
        DaemonOptions options;
        options.prefix = {"systemd-socket-activate", "-l", "127.0.0.1:" + std::to_string(port)};
        // It hands the socket over at the first connection.
        daemon = std::make_unique<Daemon>(daemonArgs(), options);
        if (printer_on_passed_port) {
            Client client(port);
            EXPECT_EQ(daemon->waitExit(), 1);
            EXPECT_NE(daemon->err().find("name this proxy itself (it listens on 127.0.0.1 port " +
                                         std::to_string(port) + ")"),
                      std::string::npos)
                << daemon->err();
            continue;
        }
        ASSERT_NO_FATAL_FAILURE(expectStillServes());
        EXPECT_TRUE(daemon->waitOut(
            "listening socket passed by systemd: proxy-ip and proxy-port are not used"));
    }
    expect_running = false;
}

TEST_F(ServiceManager, ReadinessStatusAndStopReachTheServiceManager) {
    NotifySocket notify(dir.file("notify"));
    DaemonOptions options;
    options.env = {"NOTIFY_SOCKET=" + dir.file("notify")};
    port = freePort();
    set("proxy-port", std::to_string(port));
    daemon = std::make_unique<Daemon>(daemonArgs(), options);

    // Ready only once it listens and runs as its run user.
    ASSERT_TRUE(notify.waitFor("READY=1")) << daemon->err();
    EXPECT_TRUE(daemon->waitListening(port, 0));
    if (runningAsRoot()) {
        EXPECT_EQ(statusNumbers(daemon->pid(), "Uid:").front(), getpwnam("nobody")->pw_uid);
    }
    EXPECT_TRUE(notify.waitFor("STATUS=Waiting for print jobs, 0 served"));

    ASSERT_NO_FATAL_FAILURE(sendJob("%!PS\n(job) show\n"));
    EXPECT_TRUE(notify.waitFor("STATUS=Serving a job from 127.0.0.1"));
    EXPECT_TRUE(notify.waitFor(
        "STATUS=Waiting for print jobs, 1 served; last: job from 127.0.0.1 delivered"))
        << notify.all();

    daemon->signal(SIGTERM);
    EXPECT_TRUE(notify.waitFor("STOPPING=1")) << notify.all();
    EXPECT_EQ(daemon->waitExit(), 0);
    expect_running = false;
}

// With printer-status pjl the status shows what the printer says: a problem
// while it lasts, and the pages as they come out.
TEST_F(ServiceManager, StatusShowsThePrintersWord) {
    NotifySocket notify(dir.file("notify"));
    set("printer-status", "pjl");
    printer->speakPjl(
        {.job = {
             .pages = 2, .end_pages = 2, .device_code = "41213", .device_display = "LOAD TRAY 2"}});
    ASSERT_NO_FATAL_FAILURE(start({}, {.env = {"NOTIFY_SOCKET=" + dir.file("notify")}}));
    ASSERT_NO_FATAL_FAILURE(sendJob("%!PS-Adobe-3.0\n%%Title: report\n%%For: wiwang\n\n"));
    EXPECT_TRUE(
        notify.waitFor("STATUS=Printer reports: 41213 LOAD TRAY 2, printing report for wiwang"))
        << notify.all();
    EXPECT_TRUE(notify.waitFor("STATUS=printing page 2 of report for wiwang")) << notify.all();
}

// The shipped rules, pointed at the test's log and run by logrotate -f again
// and again while jobs arrive: every job's lines are in one of the files.
TEST_F(ServiceManager, ShippedLogRotationLosesNoLineUnderLoad) {
    if (!runningAsRoot() || !haveProgram("/usr/sbin/logrotate"))
        GTEST_SKIP() << "needs root (for su) and logrotate";
    std::string rules = readFile(std::string(TINDREL_SOURCE_DIR) + "/etc/tindrel.logrotate");
    rules = std::regex_replace(rules, std::regex("/var/lib/tindrel/"), dir.path() + "/");
    rules = std::regex_replace(rules, std::regex("su tindrelusr tindrelusr"), "su nobody nogroup");
    const std::string conf = dir.write("rotate.conf", rules);
    use(Mode::Spool);
    ASSERT_NO_FATAL_FAILURE(start());

    constexpr int kJobs = 60;
    std::atomic<bool> done{false};
    std::atomic<int> rotations{0};
    std::thread rotator([&] {
        while (!done) {
            RunResult r = run({"/usr/sbin/logrotate", "-f", "-s", dir.file("rotate.state"), conf});
            EXPECT_EQ(r.status, 0) << r.err;
            ++rotations;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    for (int i = 0; i < kJobs; ++i)
        ASSERT_NO_FATAL_FAILURE(sendJob("job " + std::to_string(i) + "\n"));
    ASSERT_TRUE(waitUntil([&] { return rotations >= 3; }, 30));
    done = true;
    rotator.join();

    std::string text;
    for (int n = 30; n >= 1; --n) {
        const std::string old = dir.file("tindrel.log." + std::to_string(n));
        text += readFile(old);
        if (access((old + ".gz").c_str(), F_OK) == 0)
            text += run({"/bin/gzip", "-dc", old + ".gz"}).out;
    }
    text += log.text();
    EXPECT_EQ(countOccurrences(text, "Success sending Face Page"), size_t(kJobs));
    for (int i = 1; i <= kJobs; ++i) {
        long long total = 0;
        for (int j = 0; j < i; ++j)
            total += static_cast<long long>(("job " + std::to_string(j) + "\n").size());
        EXPECT_EQ(countOccurrences(text, sentBytes(total)), 1u) << "job " << i;
    }
}

} // namespace
