// "Delivered" means the target has every byte: a client that aborts, a
// printer that closes and then loses bytes, a silent client, a stop during a
// connect, a dead address of a printer name and a full disk each end with the
// outcome that says what happened, in the record and the log.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>

#include "support/service_test.h"

namespace testsupport {
namespace {

// One step of a hostile client: Send `text`, or `n` random bytes; Pause `n` ms.
struct Step {
    enum What { Send, Pause, Reset, Finish } what;
    size_t n = 0;
    const char* text = nullptr;
};

struct HostileCase {
    const char* name;
    Mode mode;
    PrinterScript printer;
    std::vector<Step> client;
    const char* outcome;
    const char* log_line;
    bool face_page;
    std::optional<bool> printer_reset; // relay: the printer's connection ends with a reset
};

class Delivery : public ServiceTest {};
class HostilePeer : public Delivery, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostilePeer, EndsWithTheOutcomeThatHappened) {
    const HostileCase& c = GetParam();
    set("accounting", "accounting.jsonl");
    set("idletime", "10");
    use(c.mode);
    if (printer)
        printer->plan({c.printer});
    ASSERT_NO_FATAL_FAILURE(start());
    bool reset_seen = false;
    {
        Client client(port);
        for (const Step& step : c.client) {
            if (step.what == Step::Send)
                client.send(step.text ? std::string(step.text) : randomBytes(step.n, 7));
            if (step.what == Step::Pause)
                std::this_thread::sleep_for(std::chrono::milliseconds(step.n));
            if (step.what == Step::Reset)
                client.reset();
            if (step.what == Step::Finish) {
                client.shutdownWrite();
                EXPECT_TRUE(client.readToEnd());
                reset_seen = client.wasReset();
            }
        }
    }
    auto r = records(1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["outcome"], c.outcome);
    EXPECT_EQ(r[0]["face_page"], c.face_page);
    EXPECT_EQ(reset_seen, std::string(c.outcome) == "printer-failed");
    EXPECT_TRUE(log.waitFor(std::string("msg=[") + c.log_line + "]")) << log.text();
    const std::string data = printer ? printer->connections().at(0).data : readFile(device);
    EXPECT_EQ(data.starts_with(face_template), c.face_page);
    // Only what the target holds counts as delivered.
    auto parts = splitFacePages(data, face_template);
    const size_t held = parts && !parts->empty() ? parts->front().job.size() : 0;
    EXPECT_LE(r[0]["delivered"].get<size_t>(), held);
    if (printer && c.printer_reset) {
        EXPECT_EQ(printer->connections().at(0).clean, !*c.printer_reset);
    }
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, HostilePeer, ::testing::Values(
    HostileCase{"ResetDuringTheBodyRelay", Mode::Relay, {},
        {{Step::Send, 20061}, {Step::Pause, 300}, {Step::Reset}},
        "client-aborted", "Client aborted the job", true, true},
    HostileCase{"ResetDuringTheBodySpool", Mode::Spool, {},
        {{Step::Send, 20061}, {Step::Pause, 300}, {Step::Reset}},
        "client-aborted", "Client aborted the job", true, false},
    HostileCase{"ResetWhileTheStartIsRead", Mode::Relay, {},
        {{Step::Send, 0, "%!PS-Adobe-3.0\n%%Title: cancelled\n"}, {Step::Pause, 300}, {Step::Reset}},
        "client-aborted", "Client aborted the job", false, true},
    // The printer reads what it has, closes in order, and resets what follows.
    HostileCase{"PrinterClosedThenMoreBytes", Mode::Relay, {.trigger = "MARK", .close = true},
        {{Step::Send, 10000}, {Step::Send, 0, "MARK"}, {Step::Pause, 1000}, {Step::Send, 1000},
         {Step::Finish}},
        "printer-failed", "Printer failed during the job", true, {}},
    HostileCase{"SilentClientClosesLate", Mode::Relay, {},
        {{Step::Pause, 2500}, {Step::Finish}},
        "empty", "No job data: no face page", false, false}),
    [](const auto& p) { return std::string(p.param.name); });
// clang-format on

// A printer that drops connection requests: a listener whose queue is full.
class DeadListener {
public:
    explicit DeadListener(const char* address, uint16_t port = 0) {
        sockaddr_in a{
            .sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {}, .sin_zero = {}};
        inet_pton(AF_INET, address, &a.sin_addr);
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 0);
        socklen_t length = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        for (int& held : held_) {
            held = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            connect(held, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
    }
    ~DeadListener() {
        for (int fd : held_)
            ::close(fd);
        ::close(fd_);
    }
    uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    int held_[2] = {-1, -1};
    uint16_t port_ = 0;
};

// A stop during a connect that gets no answer ends the daemon at once, and
// the job has its record and log line.
TEST_F(Delivery, StopDuringAPrinterConnectEndsAtOnce) {
    DeadListener dead("127.0.0.1");
    set("printer-port", std::to_string(dead.port()));
    set("idletime", "90");
    set("accounting", "accounting.jsonl");
    expect_running = false;
    ASSERT_NO_FATAL_FAILURE(start());
    Client client(port);
    ASSERT_TRUE(client.send("%!PS\n(never connected)\n"));
    ASSERT_TRUE(daemon->waitOut("One more printing throught network"));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->waitExit(1), 0);
    EXPECT_TRUE(log.waitFor("msg=[Stopped before the job was done]")) << log.text();
    auto r = records(1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["outcome"], "stopped");
}

// A printer name whose first address is dead costs one connect bound; the
// address that took the job is tried first after that, and the record names it.
TEST_F(Delivery, PrinterNameWithADeadAddressCostsOnce) {
    TINDREL_IN_PRIVATE_NETWORK();
    usePrinter({.address = "127.0.0.2"});
    DeadListener dead("127.0.0.1", printer->port());
    useHosts("127.0.0.1 prn.test\n127.0.0.2 prn.test\n");
    set("printer-ip", "prn.test");
    set("idletime", "4");
    set("accounting", "accounting.jsonl");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(sendJob("%!PS\n(first)\n"));
    const auto before = Clock::now();
    ASSERT_NO_FATAL_FAILURE(sendJob("%!PS\n(second)\n"));
    EXPECT_LT(Clock::now() - before, std::chrono::duration<double>(2 * timeScale()));
    auto r = records(2);
    ASSERT_EQ(r.size(), 2u);
    for (const auto& record : r)
        EXPECT_EQ(record["to"], "127.0.0.2:" + std::to_string(printer->port()));
    EXPECT_EQ(jobs(), (std::vector<std::string>{"%!PS\n(first)\n", "%!PS\n(second)\n"}));
}

// The accounting file's disk is full: the record that does not fit is not
// left as a fragment, so every line of the file stays one whole record.
TEST_F(Delivery, FullDiskLosesWholeRecordsOnly) {
    set("accounting", "accounting.jsonl");
    ASSERT_NO_FATAL_FAILURE(start({}, {.prefix = {"prlimit", "--fsize=1200", "--"}}));
    for (int i = 0; i < 4; ++i)
        ASSERT_NO_FATAL_FAILURE(sendJob("%!PS\n(job " + std::to_string(i) + ")\n"));
    EXPECT_TRUE(log.waitFor("msg=[Accounting record lost: the file took only part of it]"))
        << log.text();
    const std::string text = dir.read("accounting.jsonl");
    EXPECT_TRUE(text.ends_with("\n"));
    for (const std::string& line : splitLines(text))
        EXPECT_TRUE(nlohmann::json::accept(line)) << line;
}

} // namespace
} // namespace testsupport
