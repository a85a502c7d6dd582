// The printer relay, run as the real daemon between a client socket and a
// fake printer on loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e/fixture.h"

namespace e2e {
namespace {

using Kind = PrinterStep::Kind;

class Relay : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        usePrinter(std::make_unique<FakePrinter>());
    }
    // The daemon goes first: a printer thread blocked sending to it could
    // otherwise never be joined.
    void TearDown() override {
        ServiceTest::TearDown();
        daemon.reset();
    }

    void usePrinter(std::unique_ptr<FakePrinter> fake) {
        printer = std::move(fake);
        setKey(settings, "printer-ip", "127.0.0.1");
        setKey(settings, "printer-port", std::to_string(printer->port()));
    }

    // The job the printer got on connection `index`, after its face page.
    std::string jobOf(size_t index) {
        auto jobs = printer->jobs();
        if (index >= jobs.size())
            return "<no connection>";
        auto parts = splitFacePages(jobs[index], kTinyTemplate);
        if (!parts || parts->size() != 1)
            return "<not a face page and a job>";
        return parts->front().job;
    }

    std::unique_ptr<FakePrinter> printer;
};

TEST_F(Relay, FacePageReachesPrinterBeforeTheJob) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = "%!PS\n(first job) show\n";
    ASSERT_NO_FATAL_FAILURE(sendJob(job));

    ASSERT_TRUE(printer->waitJobs(1, secondsFromNow(15)));
    auto parts = splitFacePages(printer->jobs()[0], kTinyTemplate);
    ASSERT_TRUE(parts && parts->size() == 1) << printer->jobs()[0];
    EXPECT_NE(parts->front().page.find("(IP ADDRESS : 127.0.0.1) N\n"), std::string::npos);
    EXPECT_EQ(parts->front().job, job);
    EXPECT_TRUE(waitLog(sentBytes(static_cast<long long>(job.size()))));
}

// The shipped templates, copied so that the run user can read them.
TEST_F(Relay, ShippedPostScriptTemplateIsSentUnchanged) {
    const std::string shipped = readFile(TINDREL_SOURCE_DIR "/share/tindrel.ps");
    ASSERT_FALSE(shipped.empty());
    setKey(settings, "template-name", dir.write("shipped.ps", shipped));
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(sendJob("job after the shipped page"));

    ASSERT_TRUE(printer->waitJobs(1, secondsFromNow(15)));
    auto parts = splitFacePages(printer->jobs()[0], shipped);
    ASSERT_TRUE(parts && parts->size() == 1);
    EXPECT_EQ(parts->front().job, "job after the shipped page");
}

TEST_F(Relay, ShippedTextTemplatePrecedesTheJob) {
    const std::string shipped = readFile(TINDREL_SOURCE_DIR "/share/tindrel.txt");
    ASSERT_FALSE(shipped.empty());
    setKey(settings, "template-name", dir.write("shipped.txt", shipped));
    setKey(settings, "template-type", "txt");
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = "plain text job\n";
    ASSERT_NO_FATAL_FAILURE(sendJob(job));

    ASSERT_TRUE(printer->waitJobs(1, secondsFromNow(15)));
    const std::string data = printer->jobs()[0];
    // The text page ends in "-1"; the job follows it unchanged.
    ASSERT_GT(data.size(), job.size() + 2);
    EXPECT_EQ(data.substr(data.size() - job.size() - 2), "-1" + job);
    EXPECT_NE(data.find("127.0.0.1"), std::string::npos);
}

TEST_F(Relay, LargeJobArrivesByteExact) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = randomBytes(20 * 1024 * 1024, 7);
    ASSERT_NO_FATAL_FAILURE(sendJob(job));

    ASSERT_TRUE(printer->waitJobs(1, secondsFromNow(60)));
    std::string got = jobOf(0);
    EXPECT_EQ(got.size(), job.size());
    EXPECT_TRUE(got == job) << "the relayed bytes differ";
    EXPECT_TRUE(waitLog(sentBytes(static_cast<long long>(job.size()))));
}

TEST_F(Relay, PrinterAnswerReachesClientDuringTheJob) {
    PrinterStep answer{Kind::AnswerAfter, 0, "@PJL READY\r\n", "part one"};
    printer->plan({answer});
    ASSERT_NO_FATAL_FAILURE(start());

    Client client(port, secondsFromNow(5));
    ASSERT_TRUE(client.send("part one"));
    std::string got;
    ASSERT_TRUE(client.readAtLeast(got, answer.answer.size(), secondsFromNow(10)));
    EXPECT_EQ(got, answer.answer);
    ASSERT_TRUE(client.send(" part two"));
    client.shutdownWrite();
    ASSERT_TRUE(client.readToEnd(got, secondsFromNow(15)));
    EXPECT_EQ(got, answer.answer);

    ASSERT_TRUE(printer->waitJobs(1, secondsFromNow(15)));
    EXPECT_EQ(jobOf(0), "part one part two");
}

TEST_F(Relay, PrinterAnswerAfterClientFinishedReachesClient) {
    printer->plan({{Kind::AnswerAtEnd, 0, "OK\n", ""}});
    ASSERT_NO_FATAL_FAILURE(start());

    Client client(port, secondsFromNow(5));
    ASSERT_TRUE(client.send("whole job"));
    client.shutdownWrite();
    std::string got;
    ASSERT_TRUE(client.readToEnd(got, secondsFromNow(15)));
    EXPECT_EQ(got, "OK\n");
    ASSERT_TRUE(printer->waitJobs(1, secondsFromNow(15)));
    EXPECT_EQ(jobOf(0), "whole job");
    EXPECT_NE(daemon->out().find("Closing socket to printer\n"), std::string::npos);
}

TEST_F(Relay, SilentClientEndsByIdleTimeOut) {
    setKey(settings, "idletime", "1");
    ASSERT_NO_FATAL_FAILURE(start());

    Client client(port, secondsFromNow(5));
    std::string got;
    EXPECT_TRUE(client.readToEnd(got, secondsFromNow(15))) << "the client was never closed";
    ASSERT_TRUE(printer->waitJobs(1, secondsFromNow(15)));
    EXPECT_EQ(jobOf(0), "");
    EXPECT_TRUE(waitLog(sentBytes(0)));
}

TEST_F(Relay, ClientWithoutDataStillHasFacePagePrinted) {
    ASSERT_NO_FATAL_FAILURE(start());
    {
        Client client(port, secondsFromNow(5));
        ASSERT_TRUE(client.connected());
    }
    ASSERT_TRUE(printer->waitJobs(1, secondsFromNow(15)));
    EXPECT_EQ(jobOf(0), "");
    EXPECT_TRUE(waitLog(sentBytes(0)));
}

TEST_F(Relay, CountsAccumulateAcrossJobs) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(sendJob(std::string(1000, 'a')));
    ASSERT_TRUE(waitLog(sentBytes(1000)));
    ASSERT_NO_FATAL_FAILURE(sendJob(std::string(234, 'b')));
    ASSERT_TRUE(waitLog(sentBytes(1234)));

    std::string log = readFile(logPath());
    EXPECT_LT(log.find(sentBytes(1000)), log.find(sentBytes(1234)));
    EXPECT_NE(log.find("ip=[127.0.0.1] : msg=[: Sent bytes =[1234]]"), std::string::npos) << log;
    ASSERT_TRUE(printer->waitJobs(2, secondsFromNow(15)));
    EXPECT_EQ(jobOf(1), std::string(234, 'b'));
}

TEST_F(Relay, PrinterClosingFirstEndsTheJob) {
    PrinterStep close_early{Kind::CloseAfter, 0, "", "start"};
    printer->plan({close_early});
    ASSERT_NO_FATAL_FAILURE(start());

    Client client(port, secondsFromNow(5));
    ASSERT_TRUE(client.send("start"));
    std::string got;
    EXPECT_TRUE(client.readToEnd(got, secondsFromNow(15))) << "the client was never closed";
    EXPECT_TRUE(daemon->waitOut("Printer sent a FIN. Closing!\n", secondsFromNow(5)));
    EXPECT_TRUE(waitLog(sentBytes(5))) << readFile(logPath());

    ASSERT_NO_FATAL_FAILURE(sendJob("next"));
    ASSERT_TRUE(printer->waitJobs(2, secondsFromNow(15)));
    EXPECT_EQ(jobOf(1), "next");
}

// The count of the first job, read from its log line.
long long firstCount(const std::string& log) {
    const std::string mark = ": Sent bytes =[";
    size_t at = log.find(mark);
    if (at == std::string::npos)
        return -1;
    return std::atoll(log.c_str() + at + mark.size());
}

TEST_F(Relay, PrinterResetEndsOnlyThatJob) {
    printer->plan({{Kind::ResetAfter, 64 * 1024, "", ""}});
    ASSERT_NO_FATAL_FAILURE(start());
    {
        Client client(port, secondsFromNow(5));
        client.send(randomBytes(4 * 1024 * 1024, 1)); // fails once the job has ended
        std::string got;
        EXPECT_TRUE(client.readToEnd(got, secondsFromNow(15)));
    }
    ASSERT_TRUE(waitLog(": Sent bytes =["));
    long long first = firstCount(readFile(logPath()));
    EXPECT_GE(first, 0);
    EXPECT_LE(first, 4 * 1024 * 1024);

    ASSERT_NO_FATAL_FAILURE(sendJob("next job"));
    ASSERT_TRUE(printer->waitJobs(2, secondsFromNow(15)));
    EXPECT_EQ(jobOf(1), "next job");
    EXPECT_TRUE(waitLog(sentBytes(first + 8)));
}

TEST_F(Relay, ClientResetEndsOnlyThatJob) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string first = randomBytes(100 * 1000, 2);
    {
        Client client(port, secondsFromNow(5));
        ASSERT_TRUE(client.send(first));
        client.reset();
    }
    ASSERT_TRUE(printer->waitJobs(1, secondsFromNow(15)));
    std::string got = jobOf(0);
    EXPECT_TRUE(got == first.substr(0, got.size())) << "the printer got bytes never sent";

    ASSERT_NO_FATAL_FAILURE(sendJob("next job"));
    ASSERT_TRUE(printer->waitJobs(2, secondsFromNow(15)));
    EXPECT_EQ(jobOf(1), "next job");
}

TEST_F(Relay, LatePrinterIsReachedByRetries) {
    usePrinter(std::make_unique<FakePrinter>(false));
    setKey(settings, "retry-printer", "3");
    setKey(settings, "idletime", "1");
    ASSERT_NO_FATAL_FAILURE(start());

    Client client(port, secondsFromNow(5));
    ASSERT_TRUE(client.send("late job"));
    client.shutdownWrite();
    ASSERT_TRUE(daemon->waitOut("Trying printer: 0\n", secondsFromNow(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    printer->startListening();

    std::string got;
    EXPECT_TRUE(client.readToEnd(got, secondsFromNow(20)));
    ASSERT_TRUE(printer->waitJobs(1, secondsFromNow(15)));
    EXPECT_EQ(jobOf(0), "late job");
    EXPECT_TRUE(waitLog(sentBytes(8)));
    EXPECT_EQ(daemon->countLines("Trying printer: 3"), 0u);
}

TEST_F(Relay, ClientResetBeforeAcceptDoesNotStopTheService) {
    ASSERT_NO_FATAL_FAILURE(start());
    Client first(port, secondsFromNow(5));
    ASSERT_TRUE(first.send("first "));
    ASSERT_TRUE(daemon->waitOut("One more printing throught network", secondsFromNow(10)));
    {
        // Waits in the listen queue while the first job runs, then resets.
        Client gone(port, secondsFromNow(5));
        ASSERT_TRUE(gone.connected());
        gone.reset();
    }
    ASSERT_TRUE(first.send("job"));
    first.shutdownWrite();
    std::string got;
    EXPECT_TRUE(first.readToEnd(got, secondsFromNow(15)));

    ASSERT_NO_FATAL_FAILURE(sendJob("last job"));
    ASSERT_TRUE(printer->waitJobs(3, secondsFromNow(15)));
    EXPECT_EQ(jobOf(0), "first job");
    EXPECT_EQ(jobOf(2), "last job");
}

class UnreachablePrinter : public Relay {
protected:
    void SetUp() override {
        Relay::SetUp();
        // Bound but never listening: every connection attempt is refused.
        usePrinter(std::make_unique<FakePrinter>(false));
        expect_running = false;
    }

    // Runs one job against the refusing printer; the daemon must end with 0.
    void runJob() {
        ASSERT_NO_FATAL_FAILURE(start());
        Client client(port, secondsFromNow(5));
        ASSERT_TRUE(client.send("lost job"));
        std::string got;
        EXPECT_TRUE(client.readToEnd(got, secondsFromNow(15)));
        auto status = daemon->waitExit(secondsFromNow(15));
        ASSERT_TRUE(status.has_value()) << "the daemon did not end";
        ASSERT_TRUE(WIFEXITED(*status));
        EXPECT_EQ(WEXITSTATUS(*status), 0);
        EXPECT_TRUE(waitLog("ip=[127.0.0.1] : msg=[Unable to connect printer]"))
            << readFile(logPath());
    }
};

TEST_F(UnreachablePrinter, RetriesThenEndsTheService) {
    setKey(settings, "retry-printer", "3");
    setKey(settings, "idletime", "0");
    ASSERT_NO_FATAL_FAILURE(runJob());
    for (const char* line : {"Trying printer: 0", "Trying printer: 1", "Trying printer: 2"})
        EXPECT_EQ(daemon->countLines(line), 1u) << daemon->out();
    EXPECT_EQ(daemon->countLines("Trying printer: 3"), 0u);
    EXPECT_EQ(readFile(logPath()).find("Sent bytes"), std::string::npos);
}

TEST_F(UnreachablePrinter, RetryZeroMakesOneAttempt) {
    setKey(settings, "retry-printer", "0");
    ASSERT_NO_FATAL_FAILURE(runJob());
    EXPECT_EQ(daemon->out().find("Trying printer"), std::string::npos);
}

TEST_F(UnreachablePrinter, NegativeIdleTimeDoesNotStallRetries) {
    setKey(settings, "retry-printer", "2");
    setKey(settings, "idletime", "-1");
    ASSERT_NO_FATAL_FAILURE(runJob());
    EXPECT_EQ(daemon->countLines("Trying printer: 1"), 1u);
}

class Listener : public Relay {};

TEST_F(Listener, PortInUseEndsWithBindMessage) {
    int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 5), 0);
    socklen_t len = sizeof address;
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &len);
    setKey(settings, "proxy-port", std::to_string(ntohs(address.sin_port)));

    expect_running = false;
    daemon = std::make_unique<Daemon>(daemonArgs(writeConfig(dir, settings)));
    auto status = daemon->waitExit(secondsFromNow(10));
    close(holder);
    ASSERT_TRUE(status.has_value()) << "the daemon kept running on a port it could not bind";
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    EXPECT_EQ(daemon->err().rfind("bind", 0), 0u) << daemon->err();
    EXPECT_EQ(daemon->out().find("waiting for requests"), std::string::npos);
}

// Out of descriptors, accepting fails for good: the daemon says so and ends.
// (A port taken by another program first would end it with the bind
// message instead, which the test would report.)
TEST_F(Listener, AcceptFailureEndsWithStatusOne) {
    port = freePort();
    setKey(settings, "proxy-port", std::to_string(port));
    expect_running = false;
    // Standard streams and the listening socket use all four descriptors.
    SpawnOptions options{false, false, 4, {}};
#ifdef __SANITIZE_ADDRESS__
    // The leak check at exit needs descriptors of its own.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.env.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                          "detect_leaks=0");
#endif
    daemon = std::make_unique<Daemon>(daemonArgs(writeConfig(dir, settings)), options);
    // Linux fails the accept at once, before any client arrives.
    auto status = daemon->waitExit(secondsFromNow(10));
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    EXPECT_EQ(daemon->countLines("ACCEPT Error"), 1u) << daemon->out();
}

// Started with standard input and output closed, connections could take
// descriptors 0 and 1; the job must stay clean of console text and the face
// page must still go to the printer.
TEST_F(Listener, ClosedStandardStreamsKeepJobsClean) {
    port = freePort();
    setKey(settings, "proxy-port", std::to_string(port));
    daemon = std::make_unique<Daemon>(daemonArgs(writeConfig(dir, settings)),
                                      SpawnOptions{true, true, 0, {}});
    ASSERT_TRUE(daemon->waitListening(port, secondsFromNow(10))) << daemon->err();
    Client client(port, secondsFromNow(10));
    ASSERT_TRUE(client.connected()) << daemon->err();
    ASSERT_TRUE(client.send("clean job"));
    client.shutdownWrite();
    std::string got;
    EXPECT_TRUE(client.readToEnd(got, secondsFromNow(15)));
    EXPECT_EQ(got, "");
    ASSERT_TRUE(printer->waitJobs(1, secondsFromNow(15)));
    EXPECT_EQ(jobOf(0), "clean job");
}

} // namespace
} // namespace e2e
