// Face-page templates an administrator got wrong: a directory, a FIFO, a
// file the run user may not read. The daemon completes the page and keeps
// serving, waits for the FIFO's writer, or ends with the open failure.
#include "hostile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using hostile::secondsFromNow;

struct TemplateKind {
    const char* type;
    const char* open_failure; // the perror line of a template that cannot be opened
    const char* read_failure; // the perror line of one that opens but cannot be read
};

// Names the parameter in test listings.
void PrintTo(const TemplateKind& kind, std::ostream* out) {
    *out << kind.type;
}

constexpr TemplateKind kPs{"ps", "SendRostoPS/fopen: Failure openning template .ps file",
                           "SendRostoPS/fread: Failure reading template .ps file"};
constexpr TemplateKind kTxt{"txt", "SendRostoTXT/fopen: Failure openning template .txt file",
                            "SendRostoTXT/fgets: Failure reading template .txt file"};

class HostileTemplate : public hostile::SpoolStart,
                        public ::testing::WithParamInterface<TemplateKind> {
protected:
    void SetUp() override {
        SpoolStart::SetUp();
        e2e::setKey(settings, "template-type", GetParam().type);
        e2e::setKey(settings, "template-name", dir.file("face"));
    }
    bool isPs() const { return std::string_view(GetParam().type) == "ps"; }
};

TEST_P(HostileTemplate, DirectoryGivesAPageWithoutTemplateAndServiceGoesOn) {
    ASSERT_EQ(mkdir(dir.file("face").c_str(), 0755), 0);
    start();
    ASSERT_FALSE(HasFatalFailure());
    sendJob("JOB1");
    sendJob("JOB2");
    ASSERT_TRUE(waitLog(e2e::sentBytes(8)));
    EXPECT_TRUE(daemon->waitErr(std::string(GetParam().read_failure) + ": Is a directory",
                                secondsFromNow(5)))
        << daemon->err();
    std::string spooled = device();
    if (isPs()) {
        std::string page = "(IP ADDRESS : 127.0.0.1) N\n";
        EXPECT_TRUE(spooled.starts_with(page)) << spooled;
        EXPECT_NE(spooled.find(std::string(e2e::kFacePageEnd) + "JOB1" + page), std::string::npos);
        EXPECT_TRUE(spooled.ends_with(std::string(e2e::kFacePageEnd) + "JOB2"));
    } else {
        // Every template line reads as empty: the two headings' newlines, then -1.
        EXPECT_EQ(spooled, "\n\n\n\n\n\n-1JOB1\n\n\n\n\n\n-1JOB2");
    }
}

// Opening a FIFO for reading waits for a writer: the job waits with it (the
// daemon serves nothing else meanwhile) and goes on once a writer has sent
// the template and closed.
TEST_P(HostileTemplate, FifoIsReadUntilItsWriterCloses) {
    ASSERT_EQ(mkfifo(dir.file("face").c_str(), 0644), 0);
    start();
    ASSERT_FALSE(HasFatalFailure());
    e2e::Client client(port, secondsFromNow(5));
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send("JOB"));
    client.shutdownWrite();

    // A writer's open that does not wait succeeds only once the daemon holds
    // the FIFO open for reading.
    int writer = -1;
    auto deadline = secondsFromNow(10);
    while ((writer = open(dir.file("face").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
        ASSERT_EQ(errno, ENXIO);
        ASSERT_LT(e2e::Clock::now(), deadline) << "the daemon never opened the FIFO";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string text = isPs() ? "%!PS fifo template\n" : "FIFO HEADING\n";
    ASSERT_EQ(write(writer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(writer);

    std::string answer;
    ASSERT_TRUE(client.readToEnd(answer, secondsFromNow(15)));
    ASSERT_TRUE(waitLog(e2e::sentBytes(3)));
    std::string spooled = device();
    EXPECT_TRUE(spooled.starts_with(isPs() ? text : text + "\n")) << spooled;
    EXPECT_TRUE(spooled.ends_with("JOB"));
}

// Started by root the daemon runs as nobody, who may not read a 0600
// template of root's; started by another user, mode 0000 does the same.
TEST_P(HostileTemplate, UnreadableEndsTheDaemonOnTheFirstJob) {
    std::string path = dir.write("face", "%!PS\n", e2e::runningAsRoot() ? 0600 : 0000);
    if (!e2e::runningAsRoot() && access(path.c_str(), R_OK) == 0)
        GTEST_SKIP() << "this user reads files whatever their mode";
    start();
    ASSERT_FALSE(HasFatalFailure());
    e2e::Client client(port, secondsFromNow(5));
    ASSERT_TRUE(client.connected());
    client.send("JOB");
    client.shutdownWrite();
    EXPECT_EQ(exitStatus(), 1);
    EXPECT_NE(daemon->err().find(std::string(GetParam().open_failure) + ": Permission denied"),
              std::string::npos)
        << daemon->err();
    expect_running = false;
}

std::string kindName(const ::testing::TestParamInfo<TemplateKind>& kind) {
    return kind.param.type;
}

INSTANTIATE_TEST_SUITE_P(BothKinds, HostileTemplate, ::testing::Values(kPs, kTxt), kindName);

} // namespace
