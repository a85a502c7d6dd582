// Waits with a bound: a printer address that never answers, a client that
// stops reading, clients gone before they are accepted, a device FIFO
// without a reader, running out of descriptors, a dead name server and
// stop signals. Each spoils at most its own job; the daemon then serves the
// next one.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
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

using Answer = PrinterScript::Answer;

sockaddr_in loopbackAddress(const char* ip, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &address.sin_addr);
    address.sin_port = htons(port);
    return address;
}

// Reads a descriptor on a thread of its own until stopped: a socket
// connection by connection (each read to its end), or a FIFO that writers
// open and close. Keeps everything it read; closes the descriptor at the end.
class Drain {
public:
    explicit Drain(int fd, bool accepts) : fd_(fd) {
        thread_ = std::thread([this, accepts] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 20) <= 0)
                    continue;
                if (!accepts) {
                    // Without a writer a FIFO reads as ended: wait for the next.
                    if (!readSome(fd_))
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    continue;
                }
                int connection = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                while (connection >= 0 && !stop_ && readSome(connection)) {
                }
                if (connection >= 0)
                    ::close(connection);
            }
        });
    }
    ~Drain() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    std::string data() {
        std::lock_guard lock(mutex_);
        return data_;
    }

private:
    // False at the end of the stream or on an error.
    bool readSome(int fd) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) == 0)
            return true;
        char buffer[65536];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return true;
        if (n <= 0)
            return false;
        std::lock_guard lock(mutex_);
        data_.append(buffer, static_cast<size_t>(n));
        return true;
    }
    int fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string data_;
    std::thread thread_;
};

// A printer address that drops connection requests unanswered: its listen
// queue (backlog 0) already holds a connection nobody accepts. open() takes
// that one away and serves every later connection.
class BlackHole {
public:
    BlackHole() {
        listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopbackAddress("127.0.0.1", 0);
        socklen_t len = sizeof address;
        if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), len) != 0 ||
            listen(listen_fd_, 0) != 0)
            std::abort();
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &len);
        port_ = ntohs(address.sin_port);
        filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(filler_, reinterpret_cast<sockaddr*>(&address), len) != 0)
            std::abort();
    }
    ~BlackHole() {
        drain_.reset();
        ::close(filler_);
        ::close(listen_fd_);
    }
    uint16_t port() const { return port_; }
    void open() {
        ::close(accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC));
        drain_ = std::make_unique<Drain>(fcntl(listen_fd_, F_DUPFD_CLOEXEC, 0), true);
    }
    std::string data() { return drain_ ? drain_->data() : std::string(); }

private:
    int listen_fd_ = -1;
    int filler_ = -1;
    uint16_t port_ = 0;
    std::unique_ptr<Drain> drain_;
};

// A client that connects and is reset without sending anything. The reset
// may already end the connect: the daemon resets the moment it accepts.
bool refusedWithReset(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress("127.0.0.1", port);
    int err = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        err = errno;
    } else {
        pollfd p{fd, POLLIN, 0};
        char byte;
        if (poll(&p, 1, static_cast<int>(30000 * timeScale())) == 1 && recv(fd, &byte, 1, 0) < 0)
            err = errno;
    }
    ::close(fd);
    return err == ECONNRESET;
}

// The stop signals not yet taken by the process, from /proc.
bool signalPending(pid_t pid, int sig) {
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    for (const char* field : {"SigPnd:", "ShdPnd:"}) {
        size_t at = status.find(field);
        if (at != std::string::npos &&
            (std::strtoull(status.c_str() + at + std::strlen(field), nullptr, 16) >> (sig - 1)) & 1)
            return true;
    }
    return false;
}

class BoundedWaits : public ServiceTest {
protected:
    // After a fault, where the job goes neither to the fake printer nor into
    // a plain file: a normal job arrives whole behind its face page and adds
    // its size to the log's running total.
    void expectServesInto(const std::function<std::string()>& arrived) {
        ASSERT_TRUE(daemon->running()) << "the daemon ended";
        const auto before = log.counts();
        const std::string job = "%!PS\n(a normal job after the fault) show\n";
        ASSERT_NO_FATAL_FAILURE(sendJob(job));
        auto counts = log.waitCounts(before.size() + 1);
        ASSERT_EQ(counts.size(), before.size() + 1) << log.text();
        EXPECT_EQ(counts.back(), (before.empty() ? 0 : before.back()) + (long long)job.size());
        std::optional<std::vector<PageAndJob>> parts;
        EXPECT_TRUE(waitUntil(
            [&] {
                parts = splitFacePages(arrived(), face_template);
                return parts && parts->back().job == job;
            },
            15))
            << "the job after the fault did not arrive whole";
    }
    // What reached the printer or the device so far.
    std::string arrived() { return printer ? printer->receiving() : readFile(device); }
};

// The first attempt meets a printer that drops connection requests and
// gives up after the idle time; the retry finds it answering and the job
// arrives whole.
TEST_F(BoundedWaits, SilentPrinterAddressCostsOneAttempt) {
    BlackHole hole;
    printer.reset();
    set("printer-port", std::to_string(hole.port()));
    set("retry-printer", "1");
    set("idletime", "2");
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = randomBytes(200 * 1024, 31);
    Client client(port);
    ASSERT_TRUE(client.send(job));
    client.shutdownWrite();
    ASSERT_TRUE(daemon->waitOut("Trying printer: 0", 30)) << "the first attempt never ended";
    hole.open();
    EXPECT_TRUE(client.readToEnd());
    EXPECT_FALSE(client.wasReset());
    EXPECT_EQ(log.waitCounts(1), std::vector<long long>{static_cast<long long>(job.size())});
    auto parts = splitFacePages(hole.data(), face_template);
    ASSERT_TRUE(parts && parts->size() == 1) << "not one face page and one job";
    EXPECT_TRUE(parts->front().job == job) << "the job arrived changed";
    ASSERT_NO_FATAL_FAILURE(expectServesInto([&] { return hole.data(); }));
}

// The printer answers far more than a client that never reads can take:
// the send to the client gives up after the idle time, and the printer
// still got the whole job.
TEST_F(BoundedWaits, ClientThatNeverReadsLosesOnlyItsJob) {
    set("idletime", "1");
    const std::string job = "%!PS\n(status, at length) show\n";
    printer->plan({{.answer_when = Answer::After,
                    .answer = randomBytes(16 * 1024 * 1024, 32),
                    .trigger = job}});
    ASSERT_NO_FATAL_FAILURE(start());
    Client client(port, 10, 4096);
    ASSERT_TRUE(client.send(job));
    EXPECT_EQ(log.waitCounts(1, 30), std::vector<long long>{static_cast<long long>(job.size())});
    EXPECT_TRUE(client.readToEnd());
    EXPECT_TRUE(client.wasReset());
    ASSERT_TRUE(waitJobs(1));
    EXPECT_EQ(jobOf(0), job);
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// Clients queued while a job runs reset before they are accepted: their
// jobs are empty, but the log still names them.
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
    for (const auto& line : log.lines()) {
        if (line.find("ip=[") != std::string::npos) {
            EXPECT_NE(line.find("ip=[127.0.0.1]"), std::string::npos) << line;
        }
    }
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// A device FIFO nobody reads would hold the one-job service for good: the
// job is refused instead, and once a reader comes the next job is served.
TEST_F(BoundedWaits, DeviceFifoWithoutReaderRefusesOnlyThatJob) {
    const std::string fifo = dir.file("lp0");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    chmod(fifo.c_str(), 0666);
    useDevice(fifo);
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_TRUE(refusedWithReset(port));
    EXPECT_TRUE(daemon->waitErr(
        "spoolDevice/fopen: unable to open printer device: No such device or address", 30));
    EXPECT_TRUE(log.waitFor("Unable to open printer device", 1, 30)) << log.text();
    Drain reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC), false);
    ASSERT_NO_FATAL_FAILURE(expectServesInto([&] { return reader.data(); }));
}

// The daemon started under a descriptor limit of 4 or 5 (the standard
// streams and the listening socket take 4); the test later raises it.
class DescriptorLimit : public BoundedWaits {
protected:
    void startLimited(int limit) {
        start("# tindrel test configuration",
              {.prefix = {"prlimit", "--nofile=" + std::to_string(limit) + ":64", "--"}});
    }
    // As the daemon's own user: root may lack the capability to change the
    // limits of a process of another user.
    void raiseLimit() {
        const pid_t pid = daemon->pid();
        const auto uid = statusNumbers(pid, "Uid:");
        const auto gid = statusNumbers(pid, "Gid:");
        ASSERT_FALSE(uid.empty() || gid.empty());
        auto result = run({"setpriv", "--reuid=" + std::to_string(uid[0]),
                           "--regid=" + std::to_string(gid[0]), "--clear-groups", "prlimit",
                           "--pid", std::to_string(pid), "--nofile=64:64"});
        ASSERT_EQ(result.status, 0) << result.err;
    }
};

// No descriptor for the client: accept is retried, and the waiting client
// is served once there is one.
TEST_F(DescriptorLimit, AcceptWaitsForADescriptor) {
    const std::string line =
        "accept: out of descriptors or memory, retrying in a second: Too many open files\n";
    ASSERT_NO_FATAL_FAILURE(startLimited(4));
    const std::string job = "%!PS\n(waited for a descriptor) show\n";
    Client client(port);
    ASSERT_TRUE(client.send(job));
    client.shutdownWrite();
    EXPECT_TRUE(waitUntil([&] { return countOccurrences(daemon->err(), line) >= 2; }, 30))
        << daemon->err();
    ASSERT_TRUE(daemon->running());
    ASSERT_NO_FATAL_FAILURE(raiseLimit());
    EXPECT_TRUE(client.readToEnd());
    EXPECT_FALSE(client.wasReset());
    ASSERT_TRUE(waitJobs(1));
    EXPECT_EQ(jobOf(0), job);
    EXPECT_EQ(log.waitCounts(1), std::vector<long long>{static_cast<long long>(job.size())});
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// A descriptor for the client but none for the printer: that job is
// refused and logged, the daemon goes on.
TEST_F(DescriptorLimit, NoSocketForPrinterRefusesOnlyThatJob) {
    ASSERT_NO_FATAL_FAILURE(startLimited(5));
    EXPECT_TRUE(refusedWithReset(port));
    EXPECT_TRUE(daemon->waitErr("socket: unable to create a TCP socket to printer", 30));
    EXPECT_TRUE(log.waitFor("Unable to connect printer", 1, 30)) << log.text();
    EXPECT_TRUE(printer->connections().empty());
    ASSERT_NO_FATAL_FAILURE(raiseLimit());
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// The client's name comes from a name server that never answers (the
// resolver alone would wait 150 s). Runs in private network and mount
// namespaces, as a second run of this program under unshare.
class DeadNameServer : public BoundedWaits {
protected:
    static constexpr const char* kInside = "TINDREL_TEST_INSIDE_NAMESPACES";

    // Loopback up, and /etc/resolv.conf naming a server on 127.0.0.1 that
    // this test holds without answering. False with the reason when refused.
    bool prepareNamespace(std::string& why) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request{};
        std::strcpy(request.ifr_name, "lo");
        if (ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
            request.ifr_flags |= IFF_UP;
            if (ioctl(fd, SIOCSIFFLAGS, &request) != 0)
                why = "loopback stays down";
        }
        ::close(fd);
        const std::string resolv =
            dir.write("resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:5\n");
        // unshare(1) has made the mounts private: the bind stays in here.
        if (why.empty() &&
            mount(resolv.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
            why = "no bind mount on /etc/resolv.conf";
        name_server_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopbackAddress("127.0.0.1", 53);
        if (why.empty() &&
            bind(name_server_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            why = "port 53 taken";
        return why.empty();
    }
    // Sends a job from 127.0.0.2, an address no host file names.
    void sendJobFrom127002(std::string_view job) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in source = loopbackAddress("127.0.0.2", 0);
        sockaddr_in target = loopbackAddress("127.0.0.1", port);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source), 0);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target), 0);
        EXPECT_EQ(send(fd, job.data(), job.size(), MSG_NOSIGNAL), (ssize_t)job.size());
        shutdown(fd, SHUT_WR);
        pollfd p{fd, POLLIN, 0};
        char byte;
        EXPECT_EQ(poll(&p, 1, static_cast<int>(30000 * timeScale())), 1)
            << "the daemon held the client";
        EXPECT_EQ(recv(fd, &byte, 1, 0), 0);
        ::close(fd);
    }
    void TearDown() override {
        BoundedWaits::TearDown();
        if (name_server_ >= 0)
            ::close(name_server_);
    }
    int name_server_ = -1;
};

TEST_F(DeadNameServer, FacePageGoesOutWithoutTheName) {
    if (!std::getenv(kInside)) {
        if (!runningAsRoot())
            GTEST_SKIP() << "needs root for network and mount namespaces";
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        Process inside(
            {"unshare", "-n", "-m", std::filesystem::read_symlink("/proc/self/exe").string(),
             "--gtest_filter=" + std::string(test->test_suite_name()) + "." + test->name()},
            {.env = {std::string(kInside) + "=1"}});
        int status = inside.waitExit(120);
        if (status != 0 && inside.err().starts_with("unshare"))
            GTEST_SKIP() << "unshare refused: " << inside.err();
        EXPECT_EQ(status, 0) << inside.out() << inside.err();
        EXPECT_NE(inside.out().find("[       OK ]"), std::string::npos) << inside.out();
        return;
    }
    std::string why;
    ASSERT_TRUE(prepareNamespace(why)) << why;
    use(Mode::Spool);
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = "%!PS\n(from a host without a name) show\n";
    ASSERT_NO_FATAL_FAILURE(sendJobFrom127002(job));
    ASSERT_EQ(log.waitCounts(1), std::vector<long long>{static_cast<long long>(job.size())});
    auto parts = splitFacePages(readFile(device), face_template);
    ASSERT_TRUE(parts && parts->size() == 1);
    EXPECT_NE(parts->front().page.find("127.0.0.2"), std::string::npos) << parts->front().page;
    EXPECT_EQ(parts->front().page.find("USER HOSTNAME"), std::string::npos);
    EXPECT_EQ(parts->front().job, job);
    pollfd asked{name_server_, POLLIN, 0};
    EXPECT_EQ(poll(&asked, 1, 0), 1) << "the name server was never asked";
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

class StopWhenIdle : public BoundedWaits, public ::testing::WithParamInterface<int> {};

TEST_P(StopWhenIdle, ExitsWithStatusZero) {
    expect_running = false;
    ASSERT_NO_FATAL_FAILURE(start());
    daemon->signal(GetParam());
    EXPECT_EQ(daemon->waitExit(), 0);
}

INSTANTIATE_TEST_SUITE_P(Signal, StopWhenIdle, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& p) { return std::string(sigabbrev_np(p.param)); });

class StopDuringJob : public BoundedWaits, public ::testing::WithParamInterface<Mode> {
protected:
    // Starts a job, sends its first part and a stop signal, and waits until
    // the daemon has taken the signal.
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
    const std::string head = job.substr(0, 64 * 1024);
    ASSERT_NO_FATAL_FAILURE(startJobAndStop(head));
    for (size_t at = head.size(); at < job.size(); at += 64 * 1024)
        ASSERT_TRUE(client->send(job.substr(at, 64 * 1024)));
    client->shutdownWrite();
    EXPECT_TRUE(client->readToEnd());
    EXPECT_FALSE(client->wasReset());
    EXPECT_EQ(daemon->waitExit(30), 0);
    ASSERT_TRUE(waitJobs(1));
    ASSERT_EQ(jobs().size(), 1u);
    EXPECT_TRUE(jobOf(0) == job) << "the job arrived changed";
    EXPECT_EQ(log.counts(), std::vector<long long>{static_cast<long long>(job.size())});
}

// Asked again while the job still runs, the daemon ends by that signal at
// once; the idle time alone would keep it for minutes.
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
