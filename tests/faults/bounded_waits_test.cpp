// Waits with a bound: each fault below spoils at most its own job, and the
// daemon then serves the next one.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/service_test.h"

namespace testsupport {
namespace {

// Whether the signal waits, not yet taken by the process.
bool signalPending(pid_t pid, int sig) {
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    for (const char* field : {"\nSigPnd:", "\nShdPnd:"})
        if (size_t at = status.find(field);
            at != std::string::npos &&
            (std::strtoull(status.c_str() + at + 8, nullptr, 16) >> (sig - 1)) & 1)
            return true;
    return false;
}

class BoundedWaits : public ServiceTest {
protected:
    ~BoundedWaits() override {
        if (name_server >= 0)
            ::close(name_server);
    }
    std::string arrived() { return printer ? printer->receiving() : readFile(device); }
    std::vector<long long> counted(const std::string& job) { return {(long long)job.size()}; }

    // True when the test was run again in private network and mount
    // namespaces (or skipped); inside them, with the loopback up, false.
    bool ranInNamespaces() {
        std::string skip;
        if (inPrivateNetwork(skip))
            return false;
        if (!skip.empty())
            [&] { GTEST_SKIP() << skip; }();
        return true;
    }

    // Inside the namespaces: a name server on 127.0.0.1 that takes questions
    // and never answers (the resolver alone would wait 150 s).
    void deadNameServer() {
        // unshare(1) has made the mounts private: the bind stays in here.
        const std::string resolv =
            dir.write("resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:5\n");
        ASSERT_EQ(mount(resolv.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0);
        name_server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{.sin_family = AF_INET,
                            .sin_port = htons(53),
                            .sin_addr = {htonl(INADDR_LOOPBACK)},
                            .sin_zero = {}};
        ASSERT_EQ(bind(name_server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    bool nameServerAsked(int ms) {
        pollfd asked{name_server, POLLIN, 0};
        return poll(&asked, 1, ms) == 1;
    }
    int name_server = -1;
};

// The first attempt meets a printer address whose listen queue (backlog 0)
// is full and gives up after the idle time; the retry finds room.
TEST_F(BoundedWaits, SilentPrinterAddressCostsOneAttempt) {
    const int hole = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{
        .sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t len = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    ASSERT_TRUE(bind(hole, any, len) == 0 && listen(hole, 0) == 0 &&
                getsockname(hole, any, &len) == 0 && connect(filler, any, len) == 0);
    printer.reset();
    set("printer-port", std::to_string(ntohs(address.sin_port)));
    set("retry-printer", "1");
    set("idletime", "2");
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = randomBytes(200 * 1024, 31);
    Client client(port);
    ASSERT_TRUE(client.send(job));
    client.shutdownWrite();
    ASSERT_TRUE(daemon->waitOut("Trying printer: 0", 30)) << "the first attempt never ended";
    ::close(accept4(hole, nullptr, nullptr, SOCK_CLOEXEC));
    const int timeout_ms = static_cast<int>(30000 * timeScale());
    pollfd retry{hole, POLLIN, 0};
    ASSERT_EQ(poll(&retry, 1, timeout_ms), 1) << "no second attempt";
    const int from_daemon = accept4(hole, nullptr, nullptr, SOCK_CLOEXEC);
    std::string arrived;
    char buffer[65536];
    pollfd p{from_daemon, POLLIN, 0};
    for (ssize_t n;
         poll(&p, 1, timeout_ms) == 1 && (n = ::read(from_daemon, buffer, sizeof buffer)) > 0;)
        arrived.append(buffer, static_cast<size_t>(n));
    for (int fd : {from_daemon, filler, hole})
        ::close(fd);
    EXPECT_TRUE(client.readToEnd());
    EXPECT_FALSE(client.wasReset());
    EXPECT_EQ(log.waitCounts(1), counted(job));
    auto parts = splitFacePages(arrived, face_template);
    ASSERT_TRUE(parts && parts->size() == 1) << "not one face page and one job";
    EXPECT_TRUE(parts->front().job == job) << "the job arrived changed";
}

// The send to a client that never reads gives up after the idle time; the
// printer still got the whole job.
TEST_F(BoundedWaits, ClientThatNeverReadsLosesOnlyItsJob) {
    set("idletime", "1");
    const std::string job = "%!PS\n(status, at length) show\n";
    printer->plan({{.answer_when = PrinterScript::Answer::After,
                    .answer = randomBytes(16 * 1024 * 1024, 32),
                    .trigger = job}});
    ASSERT_NO_FATAL_FAILURE(start());
    Client client(port, 10, 4096);
    ASSERT_TRUE(client.send(job));
    EXPECT_EQ(log.waitCounts(1, 30), counted(job));
    EXPECT_TRUE(client.readToEnd());
    EXPECT_TRUE(client.wasReset());
    ASSERT_TRUE(waitJobs(1));
    EXPECT_EQ(jobOf(0), job);
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// Clients reset in the listen queue while a job runs: their empty jobs are
// still logged with their address.
TEST_F(BoundedWaits, ClientsResetBeforeAcceptAreStillNamed) {
    constexpr size_t kResets = 5; // the listen queue holds them all
    ASSERT_NO_FATAL_FAILURE(start());
    Client busy(port);
    ASSERT_TRUE(busy.send("a job that waits for the others\n"));
    ASSERT_TRUE(waitUntil([&] { return arrived().ends_with("for the others\n"); }, 15));
    for (size_t i = 0; i < kResets; ++i) {
        Client gone(port);
        ASSERT_TRUE(gone.connected());
        gone.reset();
    }
    ASSERT_TRUE(busy.send("and ends now\n"));
    busy.shutdownWrite();
    EXPECT_TRUE(busy.readToEnd());
    ASSERT_EQ(log.waitCounts(1 + kResets).size(), 1 + kResets) << log.text();
    // The clients that sent nothing still had a printer connection, without a page.
    ASSERT_TRUE(printer->waitConnections(1 + kResets));
    EXPECT_EQ(jobOf(0), "a job that waits for the others\nand ends now\n");
    for (const auto& line : log.lines())
        EXPECT_TRUE(line.find("ip=[") == std::string::npos ||
                    line.find("ip=[127.0.0.1]") != std::string::npos)
            << line;
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// A device FIFO nobody reads would hold the one-job service for good.
TEST_F(BoundedWaits, DeviceFifoWithoutReaderRefusesOnlyThatJob) {
    const std::string fifo = dir.file("lp0");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    chmod(fifo.c_str(), 0666);
    useDevice(fifo);
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_TRUE(lostJobIsReset());
    EXPECT_TRUE(daemon->waitErr(
        "spoolDevice/fopen: unable to open printer device: No such device or address", 30));
    EXPECT_TRUE(log.waitFor("Unable to open printer device", 1, 30)) << log.text();
    // Served once a reader comes; the pipe buffer takes the small job whole.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const std::string job = "%!PS\n(a job with a reader) show\n";
    ASSERT_NO_FATAL_FAILURE(sendJob(job));
    EXPECT_EQ(log.waitCounts(1), counted(job)) << log.text();
    std::vector<char> buffer(65536);
    ssize_t n = ::read(reader, buffer.data(), buffer.size());
    ::close(reader);
    auto parts = splitFacePages(std::string(buffer.data(), std::max<ssize_t>(n, 0)), face_template);
    EXPECT_TRUE(parts && parts->size() == 1 && parts->front().job == job)
        << "the job did not arrive whole";
}

// The daemon started under a descriptor limit; the standard streams and the
// listening socket take 4.
class DescriptorLimit : public BoundedWaits {
protected:
    void startLimited(int limit) {
        start("# tindrel test configuration",
              {.prefix = {"prlimit", "--nofile=" + std::to_string(limit) + ":64", "--"}});
    }
    // As the daemon's user: root may lack the capability for another user's process.
    void raiseLimit() {
        const pid_t pid = daemon->pid();
        const auto uid = statusNumbers(pid, "Uid:"), gid = statusNumbers(pid, "Gid:");
        ASSERT_FALSE(uid.empty() || gid.empty());
        auto result = run({"setpriv", "--reuid=" + std::to_string(uid[0]),
                           "--regid=" + std::to_string(gid[0]), "--clear-groups", "prlimit",
                           "--pid", std::to_string(pid), "--nofile=64:64"});
        ASSERT_EQ(result.status, 0) << result.err;
    }
};

// No descriptor for the client: accept is retried until there is one.
TEST_F(DescriptorLimit, AcceptWaitsForADescriptor) {
    ASSERT_NO_FATAL_FAILURE(startLimited(4));
    const std::string job = "%!PS\n(waited for a descriptor) show\n";
    Client client(port);
    ASSERT_TRUE(client.send(job));
    client.shutdownWrite();
    const std::string line =
        "accept: out of descriptors or memory, retrying in a second: Too many open files\n";
    EXPECT_TRUE(waitUntil([&] { return countOccurrences(daemon->err(), line) >= 2; }, 30))
        << daemon->err();
    ASSERT_TRUE(daemon->running());
    ASSERT_NO_FATAL_FAILURE(raiseLimit());
    EXPECT_TRUE(client.readToEnd());
    EXPECT_FALSE(client.wasReset());
    ASSERT_TRUE(waitJobs(1));
    EXPECT_EQ(jobOf(0), job);
    EXPECT_EQ(log.waitCounts(1), counted(job));
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// A descriptor for the client but none for the printer: only that job is refused.
TEST_F(DescriptorLimit, NoSocketForPrinterRefusesOnlyThatJob) {
    ASSERT_NO_FATAL_FAILURE(startLimited(5));
    EXPECT_TRUE(lostJobIsReset());
    EXPECT_TRUE(daemon->waitErr("socket: unable to create a TCP socket to printer", 30));
    EXPECT_TRUE(log.waitFor("Unable to connect printer", 1, 30)) << log.text();
    EXPECT_TRUE(printer->connections().empty());
    ASSERT_NO_FATAL_FAILURE(raiseLimit());
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// The client's name comes from a name server that never answers.
TEST_F(BoundedWaits, DeadNameServerCostsOnlyTheName) {
    if (ranInNamespaces())
        return;
    ASSERT_NO_FATAL_FAILURE(deadNameServer());
    use(Mode::Spool);
    ASSERT_NO_FATAL_FAILURE(start());
    // Sent from 127.0.0.2, an address no host file names.
    const std::string job = "%!PS\n(from a host without a name) show\n";
    auto sent = run({"socat", "-u", "FILE:" + dir.write("job", job),
                     "TCP:127.0.0.1:" + std::to_string(port) + ",bind=127.0.0.2"});
    ASSERT_EQ(sent.status, 0) << sent.err;
    ASSERT_EQ(log.waitCounts(1), counted(job));
    auto parts = splitFacePages(readFile(device), face_template);
    ASSERT_TRUE(parts && parts->size() == 1);
    EXPECT_NE(parts->front().page.find("127.0.0.2"), std::string::npos) << parts->front().page;
    EXPECT_EQ(parts->front().page.find("USER HOSTNAME"), std::string::npos);
    EXPECT_EQ(parts->front().job, job);
    EXPECT_TRUE(nameServerAsked(0)) << "the name server was never asked";
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// Two stop signals while the lookup waits on the dead name server: nothing
// left of the daemon, its lookup included, keeps the port.
TEST_F(BoundedWaits, SecondSignalDuringDeadLookupFreesThePort) {
    if (ranInNamespaces())
        return;
    ASSERT_NO_FATAL_FAILURE(deadNameServer());
    expect_running = false;
    use(Mode::Spool);
    ASSERT_NO_FATAL_FAILURE(start());
    Client client(port, 10, 0, "127.0.0.1", "127.0.0.2");
    ASSERT_TRUE(client.send("%!PS\n"));
    ASSERT_TRUE(nameServerAsked(5000)) << "no lookup under way";
    daemon->signal(SIGTERM);
    ASSERT_TRUE(
        waitUntil([&] { return !daemon->running() || !signalPending(daemon->pid(), SIGTERM); }, 1));
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->waitExit(2), 128 + SIGTERM);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{.sin_family = AF_INET,
                        .sin_port = htons(port),
                        .sin_addr = {htonl(INADDR_LOOPBACK)},
                        .sin_zero = {}};
    EXPECT_TRUE(waitUntil(
        [&] { return bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0; }, 1))
        << std::strerror(errno);
    ::close(fd);
}

TEST_F(BoundedWaits, IdleDaemonStopsWithStatusZero) {
    expect_running = false;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sigabbrev_np(sig));
        ASSERT_NO_FATAL_FAILURE(start());
        daemon->signal(sig);
        EXPECT_EQ(daemon->waitExit(), 0) << daemon->err();
    }
}

class StopDuringJob : public BoundedWaits, public ::testing::WithParamInterface<Mode> {
protected:
    // Sends the job's first part, then SIGTERM, and waits until the daemon took it.
    void startJobAndStop(const std::string& head) {
        expect_running = false;
        use(GetParam());
        ASSERT_NO_FATAL_FAILURE(start());
        client = std::make_unique<Client>(port);
        ASSERT_TRUE(client->send(head));
        ASSERT_TRUE(waitUntil([&] { return arrived().ends_with(head); }, 15));
        daemon->signal(SIGTERM);
        ASSERT_TRUE(waitUntil(
            [&] { return !daemon->running() || !signalPending(daemon->pid(), SIGTERM); }, 15));
    }
    std::unique_ptr<Client> client;
};

// The job under way ends by its usual rules, whole, and is logged first.
TEST_P(StopDuringJob, JobEndsWholeThenExitZero) {
    const std::string job = randomBytes(512 * 1024, 33);
    ASSERT_NO_FATAL_FAILURE(startJobAndStop(job.substr(0, 64 * 1024)));
    for (size_t at = 64 * 1024; at < job.size(); at += 64 * 1024)
        ASSERT_TRUE(client->send(job.substr(at, 64 * 1024)));
    client->shutdownWrite();
    EXPECT_TRUE(client->readToEnd());
    EXPECT_FALSE(client->wasReset());
    EXPECT_EQ(daemon->waitExit(30), 0);
    ASSERT_TRUE(waitJobs(1));
    EXPECT_TRUE(jobs() == std::vector{job}) << "not the one job whole";
    EXPECT_EQ(log.counts(), counted(job));
}

// A second signal ends the daemon at once; the idle time alone would keep it for minutes.
TEST_P(StopDuringJob, SecondSignalEndsAtOnce) {
    set("idletime", "300");
    ASSERT_NO_FATAL_FAILURE(startJobAndStop("%!PS\n(never finished)"));
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->waitExit(30), 128 + SIGTERM);
}

INSTANTIATE_TEST_SUITE_P(Mode, StopDuringJob, ::testing::Values(Mode::Relay, Mode::Spool),
                         modeName);

} // namespace
} // namespace testsupport
