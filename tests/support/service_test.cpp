#include "support/service_test.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <net/if.h>
#include <regex>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

std::string modeName(const ::testing::TestParamInfo<Mode>& info) {
    return info.param == Mode::Relay ? "Relay" : "Spool";
}

void ServiceTest::SetUp() {
    dir.write("face.ps", kTinyTemplate);
    dir.write("tindrel.db", "127.0.0.1 A12 5550\n");
    // Started by root the daemon switches to this user; otherwise it stays
    // the user running the tests.
    if (runningAsRoot())
        set("user", "nobody");
    set("working-dir", dir.path());
    set("template-name", dir.file("face.ps"));
    set("template-type", "ps");
    set("logfile", dir.file("tindrel.log"));
    set("ip-location", dir.file("tindrel.db"));
    set("proxy-ip", "127.0.0.1");
    set("idletime", "5");
    set("retry-printer", "0");
    usePrinter();
}

void ServiceTest::TearDown() {
    if (!daemon)
        return;
    std::string err = daemon->err();
    if (HasFailure() || std::getenv("TINDREL_E2E_SHOW"))
        std::printf("daemon stdout:\n%s\ndaemon stderr:\n%s\n", daemon->out().c_str(), err.c_str());
    EXPECT_EQ(err.find("AddressSanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error:"), std::string::npos) << err;
    if (expect_running) {
        EXPECT_TRUE(daemon->running()) << "the daemon ended";
    }
    if (!wrapperWords().empty()) {
        // Ended by SIGTERM the wrapper still runs its leak check; any report
        // (valgrind's lines begin with "==PID==") fails the test.
        daemon->signal(SIGTERM);
        EXPECT_NE(daemon->waitExit(30), -1);
        err = daemon->err();
        EXPECT_FALSE(std::regex_search(err, std::regex("(^|\n)==[0-9]+==")))
            << "the wrapper reported:\n"
            << err;
    }
    daemon.reset();
}

void ServiceTest::set(const std::string& key, const std::string& value) {
    for (auto& [k, v] : settings) {
        if (k == key) {
            v = value;
            return;
        }
    }
    settings.emplace_back(key, value);
}

std::string ServiceTest::writeConfig(std::string_view before) {
    std::string text(before);
    text += "\n";
    for (const auto& [key, value] : settings)
        text += key + " = " + value + "\n";
    return dir.write("tindrel.conf", text);
}

void ServiceTest::usePrinter(FakePrinter::Options options) {
    printer = std::make_unique<FakePrinter>(options);
    device.clear();
    set("printer-ip", "127.0.0.1");
    set("printer-port", std::to_string(printer->port()));
}

void ServiceTest::useDevice(const std::string& path) {
    printer.reset();
    device = path;
    set("printer-ip", "0.0.0.0");
    set("printer-dev", path);
}

void ServiceTest::use(Mode mode) {
    if (mode == Mode::Spool)
        useDevice(dir.write("lp0", "", 0666));
}

void ServiceTest::start(std::string_view before, DaemonOptions options) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = freePort();
        set("proxy-port", std::to_string(port));
        daemon = std::make_unique<Daemon>(
            std::vector<std::string>{"-v", "-C", writeConfig(before), "-d"}, options);
        if (daemon->waitListening(port) && daemon->waitOut("waiting for requests"))
            return;
        if (daemon->waitExit(2) != -1 && daemon->err().find("bind") != std::string::npos)
            continue;
        FAIL() << "the daemon did not start\nstdout:\n"
               << daemon->out() << "\nstderr:\n"
               << daemon->err();
    }
    FAIL() << "no free port found";
}

void ServiceTest::sendJob(std::string_view job) {
    Client client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send(job));
    client.shutdownWrite();
    ASSERT_TRUE(client.readToEnd());
}

bool ServiceTest::lostJobIsReset(std::string_view job) {
    daemon->signal(SIGSTOP);
    Client client(port);
    client.send(job);
    client.shutdownWrite();
    daemon->signal(SIGCONT);
    return client.connected() && client.readToEnd() && client.wasReset();
}

std::vector<std::string> ServiceTest::jobs() {
    std::vector<std::string> found;
    if (!printer) {
        if (auto parts = splitFacePages(readFile(device), face_template))
            for (auto& part : *parts)
                found.push_back(part.job);
        return found;
    }
    for (const auto& connection : printer->connections()) {
        auto parts = splitFacePages(connection.data, face_template);
        found.push_back(parts && parts->size() == 1 ? parts->front().job
                                                    : "<not one face page and one job>");
    }
    return found;
}

std::string ServiceTest::jobOf(size_t index) {
    auto all = jobs();
    return index < all.size() ? all[index] : "<no job " + std::to_string(index) + ">";
}

bool ServiceTest::waitJobs(size_t count) {
    if (printer)
        return printer->waitConnections(count);
    return log.waitCounts(count).size() >= count;
}

std::string ServiceTest::useHosts(std::string_view content) {
    const std::string hosts = dir.write("hosts", content);
    EXPECT_EQ(mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0);
    return hosts;
}

std::vector<nlohmann::json> ServiceTest::records(size_t count) {
    waitUntil([&] { return splitLines(dir.read("accounting.jsonl")).size() >= count; }, 5);
    std::vector<nlohmann::json> out;
    for (const std::string& line : splitLines(dir.read("accounting.jsonl")))
        out.push_back(nlohmann::json::parse(line));
    return out;
}

bool ServiceTest::waitIdle(size_t count) {
    return daemon->waitOut("waiting for requests\n", 30, count + 1);
}

bool ServiceTest::inPrivateNetwork(std::string& skip) {
    constexpr const char* kInside = "TINDREL_TEST_INSIDE_NAMESPACES";
    if (!std::getenv(kInside)) {
        if (!runningAsRoot()) {
            skip = "needs root for network and mount namespaces";
            return false;
        }
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        Process inside(
            {"unshare", "-n", "-m", std::filesystem::read_symlink("/proc/self/exe"),
             std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()},
            {.env = {std::string(kInside) + "=1"}});
        int status = inside.waitExit(120);
        if (status != 0 && inside.err().starts_with("unshare")) {
            skip = "unshare refused: " + inside.err();
            return false;
        }
        EXPECT_EQ(status, 0) << inside.out() << inside.err();
        EXPECT_NE(inside.out().find("[       OK ]"), std::string::npos) << inside.out();
        return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    ::close(fd);
    EXPECT_TRUE(up) << "loopback stays down";
    return up;
}

void ServiceTest::expectStillServes() {
    ASSERT_TRUE(daemon->running()) << "the daemon ended";
    const auto before = log.counts();
    const size_t delivered = printer ? printer->connections().size() : jobs().size();
    const std::string job = "%!PS\n(a normal job after the fault) show\n";
    ASSERT_NO_FATAL_FAILURE(sendJob(job));
    auto counts = log.waitCounts(before.size() + 1);
    ASSERT_EQ(counts.size(), before.size() + 1) << log.text();
    EXPECT_EQ(counts.back(), (before.empty() ? 0 : before.back()) + (long long)job.size());
    ASSERT_TRUE(waitJobs(delivered + 1));
    EXPECT_EQ(jobOf(delivered), job);
}

} // namespace testsupport
