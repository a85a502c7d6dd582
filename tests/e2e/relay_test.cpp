// The printer relay, run as the real daemon between print clients and a fake
// printer on loopback.
#include <gtest/gtest.h>

#include <csignal>
#include <sstream>

#include "support/service_test.h"

namespace testsupport {
namespace {

using Answer = PrinterScript::Answer;

class Relay : public ServiceTest {};

TEST_F(Relay, PrinterAnswerReachesClientDuringTheJob) {
    const std::string answer = "@PJL READY\r\n";
    printer->plan({{.answer_when = Answer::After, .answer = answer, .trigger = "part one"}});
    ASSERT_NO_FATAL_FAILURE(start());

    Client client(port);
    ASSERT_TRUE(client.send("part one"));
    ASSERT_TRUE(client.readAtLeast(answer.size()));
    ASSERT_TRUE(client.send(" part two"));
    client.shutdownWrite();
    ASSERT_TRUE(client.readToEnd());
    EXPECT_EQ(client.received(), answer);
    ASSERT_TRUE(waitJobs(1));
    EXPECT_EQ(jobOf(0), "part one part two");
}

// The client half-closes after a large job; the printer then sends a long
// status and closes at once. All of the status reaches the client.
TEST_F(Relay, PrinterAnswerAfterClientFinishedReachesClient) {
    std::string status;
    for (int line = 0; status.size() < 256 * 1024; ++line)
        status += "@PJL USTATUS JOB\r\nPAGES=" + std::to_string(line) + "\r\n";
    printer->plan({{.answer_when = Answer::AtEnd, .answer = status}});
    ASSERT_NO_FATAL_FAILURE(start());

    const std::string job = randomBytes(1024 * 1024, 6);
    Client client(port);
    ASSERT_TRUE(client.send(job));
    client.shutdownWrite();
    EXPECT_TRUE(client.readToEnd());
    EXPECT_FALSE(client.wasReset());
    EXPECT_TRUE(client.received() == status) << "the status arrived changed";
    EXPECT_TRUE(daemon->waitOut("Closing socket to printer\n"));
    ASSERT_TRUE(waitJobs(1));
    EXPECT_TRUE(jobOf(0) == job) << "the job arrived changed";
    EXPECT_EQ(log.waitCounts(1), std::vector<long long>{static_cast<long long>(job.size())});
}

TEST_F(Relay, PrinterClosingFirstEndsTheJob) {
    printer->plan({{.trigger = "start", .close = true}});
    ASSERT_NO_FATAL_FAILURE(start());

    Client client(port);
    ASSERT_TRUE(client.send("start"));
    EXPECT_TRUE(client.readToEnd()) << "the client was never closed";
    EXPECT_TRUE(daemon->waitOut("Printer sent a FIN. Closing!\n"));
    EXPECT_TRUE(log.waitFor(sentBytes(5))) << log.text();
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// The printer resets while the large face page is still going out: the job
// is lost before any of it is relayed, the client is reset and the log says
// so; the next job is served. The page is twice the largest send buffer the
// system grows, so it cannot all be handed over before the reset.
TEST_F(Relay, PrinterResetDuringTheFacePageLosesThatJob) {
    std::istringstream wmem(readFile("/proc/sys/net/ipv4/tcp_wmem"));
    size_t low = 0, initial = 0, largest = 4 * 1024 * 1024;
    wmem >> low >> initial >> largest;
    face_template = "%!PS\n" + std::string(2 * largest, '%') + "\n";
    set("template-name", dir.write("large.ps", face_template));
    usePrinter({.receive_buffer = 4096});
    printer->plan({{.after = 16 * 1024, .reset = true}, {}});
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_TRUE(lostJobIsReset("lost"));
    ASSERT_TRUE(log.waitFor("msg=[Failure sending Face Page]")) << log.text();
    ASSERT_TRUE(log.waitFor("msg=[Printer failed during the job]")) << log.text();
    EXPECT_EQ(log.waitCounts(1), std::vector<long long>{0});
    EXPECT_EQ(log.text().find("Success"), std::string::npos) << log.text();
    ASSERT_TRUE(printer->waitConnections(1));
    const std::string got = printer->connections()[0].data;
    EXPECT_LT(got.size(), face_template.size());
    EXPECT_TRUE(face_template.starts_with(got)) << "bytes other than the page were sent";
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
    EXPECT_EQ(countOccurrences(log.text(), "msg=[Success sending Face Page]"), 1u) << log.text();
}

// The printer resets in the middle of a job: the client is reset too, so it
// does not take the job for printed.
TEST_F(Relay, PrinterResetMidJobResetsTheClient) {
    printer->plan({{.trigger = "part one", .reset = true}, {}});
    ASSERT_NO_FATAL_FAILURE(start());
    {
        Client client(port);
        ASSERT_TRUE(client.send("part one"));
        ASSERT_TRUE(client.readToEnd());
        EXPECT_TRUE(client.wasReset());
    }
    EXPECT_TRUE(log.waitFor(sentBytes(8))) << log.text();
    // Counted before the next job, so that job is not taken for this one.
    ASSERT_TRUE(printer->waitConnections(1));
    EXPECT_TRUE(printer->connections()[0].data.ends_with("part one"));
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

TEST_F(Relay, LatePrinterIsReachedByRetries) {
    usePrinter({.listen = false});
    set("retry-printer", "3");
    set("idletime", "1");
    ASSERT_NO_FATAL_FAILURE(start());

    Client client(port);
    ASSERT_TRUE(client.send("late job"));
    client.shutdownWrite();
    ASSERT_TRUE(daemon->waitOut("Trying printer: 1\n"));
    printer->startListening();

    EXPECT_TRUE(client.readToEnd());
    ASSERT_TRUE(waitJobs(1));
    EXPECT_EQ(jobOf(0), "late job");
    EXPECT_TRUE(log.waitFor(sentBytes(8)));
    EXPECT_EQ(daemon->countLines("Trying printer: 3"), 0u);
}

struct ShippedTemplate {
    const char* file;
    const char* type;
    bool copied_whole; // the page starts with the template as it stands
    const char* page_end;
};

class ShippedFacePage : public Relay, public ::testing::WithParamInterface<ShippedTemplate> {};

TEST_P(ShippedFacePage, PrecedesTheJob) {
    const std::string shipped =
        readFile(std::string(TINDREL_SOURCE_DIR "/share/") + GetParam().file);
    ASSERT_FALSE(shipped.empty());
    set("template-name", dir.write(GetParam().file, shipped));
    set("template-type", GetParam().type);
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = "job after the shipped page\n";
    ASSERT_NO_FATAL_FAILURE(sendJob(job));

    ASSERT_TRUE(waitJobs(1));
    const std::string data = printer->connections()[0].data;
    EXPECT_TRUE(data.ends_with(GetParam().page_end + job)) << data;
    EXPECT_NE(data.find("127.0.0.1"), std::string::npos);
    if (GetParam().copied_whole) {
        EXPECT_TRUE(data.starts_with(shipped));
    }
}

INSTANTIATE_TEST_SUITE_P(Both, ShippedFacePage,
                         ::testing::Values(ShippedTemplate{"tindrel.ps", "ps", true, "%%EOF\n\xFF"},
                                           ShippedTemplate{"tindrel.txt", "txt", false, "-1"}),
                         [](const auto& p) { return std::string(p.param.type); });

struct Unreachable {
    const char* retry;
    const char* idle;
    int attempts_reported; // "Trying printer: N" lines, N counted from 0
};

// A printer port that refuses every connection: the daemon retries as set,
// resets the client, logs the loss and ends with status 0.
class UnreachablePrinter : public Relay, public ::testing::WithParamInterface<Unreachable> {};

TEST_P(UnreachablePrinter, RetriesThenEndsTheService) {
    usePrinter({.listen = false});
    set("retry-printer", GetParam().retry);
    set("idletime", GetParam().idle);
    expect_running = false;
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_TRUE(lostJobIsReset());
    ASSERT_EQ(daemon->waitExit(), 0);
    EXPECT_TRUE(log.waitFor("ip=[127.0.0.1] : msg=[Unable to connect printer]")) << log.text();
    EXPECT_EQ(log.text().find("Sent bytes"), std::string::npos);
    const int reported = GetParam().attempts_reported;
    EXPECT_NE(daemon->err().find("tindrel: printer 127.0.0.1:" + std::to_string(printer->port()) +
                                 " unreachable after " + std::to_string(reported + 1) +
                                 " attempts; the service ends\n"),
              std::string::npos)
        << daemon->err();
    for (int n = 0; n <= reported; ++n)
        EXPECT_EQ(daemon->countLines("Trying printer: " + std::to_string(n)),
                  n < reported ? 1u : 0u)
            << daemon->out();
}

INSTANTIATE_TEST_SUITE_P(Settings, UnreachablePrinter,
                         ::testing::Values(Unreachable{"3", "0", 3}, Unreachable{"0", "5", 0},
                                           Unreachable{"2", "-1", 2}));

} // namespace
} // namespace testsupport
