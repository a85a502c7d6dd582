// The daemon started on hostile input: a configuration whose settings follow
// garbage, and face-page templates an administrator got wrong (a directory,
// a FIFO, a file the run user may not read, one removed after the start). It
// serves, waits for the FIFO's writer, refuses to start or ends with the open
// failure; it never crashes or hangs.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/service_test.h"

namespace testsupport {
namespace {

using namespace std::string_literals;

class HostileStart : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        use(Mode::Spool);
    }
    // Serves one job and returns what the device got.
    std::string serveOneJob(const std::string& job) {
        sendJob(job);
        EXPECT_TRUE(log.waitFor(sentBytes(static_cast<long long>(job.size()))));
        return readFile(device);
    }
};

TEST_F(HostileStart, SettingsAfterGarbageStillServe) {
    std::string before = "#" + std::string(10 << 20, '#') + "\n";
    before += "\0\0\0zero bytes\n"s + randomBytes(1 << 20, 11);
    ASSERT_NO_FATAL_FAILURE(start(before));
    std::string spooled = serveOneJob("JOB-AFTER-GARBAGE");
    EXPECT_TRUE(spooled.starts_with(kTinyTemplate));
    EXPECT_TRUE(spooled.ends_with("JOB-AFTER-GARBAGE"));
}

struct TemplateKind {
    const char* type;
    const char* open_failure; // the perror line of a template that cannot be opened
    const char* read_failure; // the perror line of one that opens but cannot be read
    const char* failure_log;  // the log line of a page that did not go out
};

class HostileTemplate : public HostileStart, public ::testing::WithParamInterface<TemplateKind> {
protected:
    void SetUp() override {
        HostileStart::SetUp();
        set("template-type", GetParam().type);
        set("template-name", dir.file("face"));
    }
    bool isPs() const { return std::string_view(GetParam().type) == "ps"; }
};

// A directory or a FIFO opens, but gives no face page: -d refuses to start.
TEST_P(HostileTemplate, NotARegularFileIsRefused) {
    ASSERT_EQ(mkdir(dir.file("face").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    for (const char* name : {"face", "fifo"}) {
        set("template-name", dir.file(name));
        Daemon refused({"-C", writeConfig(), "-d"});
        EXPECT_EQ(refused.waitExit(), 1) << name;
        EXPECT_NE(refused.err().find(dir.file(name) + " is not a regular file"), std::string::npos)
            << refused.err();
    }
}

// template of root's; started by another user, mode 0000 does the same.
TEST_P(HostileTemplate, UnreadableIsRefusedAtStart) {
    std::string path = dir.write("face", "%!PS\n", runningAsRoot() ? 0600 : 0000);
    if (!runningAsRoot() && access(path.c_str(), R_OK) == 0)
        GTEST_SKIP() << "this user reads files whatever their mode";
    expect_running = false;
    port = freePort();
    set("proxy-port", std::to_string(port));
    daemon = std::make_unique<Daemon>(daemonArgs());
    EXPECT_FALSE(daemon->waitListening(port));
    EXPECT_EQ(daemon->waitExit(), 1);
    EXPECT_NE(daemon->err().find("tindrel: face-page template " + path +
                                 " cannot be opened for reading by the run user "),
              std::string::npos)
        << daemon->err();
    EXPECT_NE(daemon->err().find(": Permission denied; set template-name (and working-dir) to a "
                                 "readable file\n"),
              std::string::npos)
        << daemon->err();
}

// A template removed after the start loses the job at hand and ends the
// daemon, so that a service manager can report it.
TEST_P(HostileTemplate, RemovedAfterStartEndsTheDaemonOnTheFirstJob) {
    dir.write("face", isPs() ? "%!PS\n" : "HEADING\n");
    set("accounting", "accounting.jsonl");
    expect_running = false;
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_EQ(unlink(dir.file("face").c_str()), 0);
    EXPECT_TRUE(lostJobIsReset("JOB"));
    EXPECT_EQ(daemon->waitExit(), 1);
    // The lost job is counted and recorded before the daemon ends.
    EXPECT_TRUE(log.waitFor(sentBytes(0)));
    auto r = records(1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["outcome"], "face-page-failed");
    EXPECT_NE(daemon->err().find(std::string(GetParam().open_failure) + ": No such file"),
              std::string::npos)
        << daemon->err();
    EXPECT_TRUE(log.waitFor(std::string("msg=[") + GetParam().failure_log + "]")) << log.text();
    EXPECT_EQ(log.text().find("Success"), std::string::npos) << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    BothKinds, HostileTemplate,
    ::testing::Values(TemplateKind{"ps", "SendRostoPS/fopen: Failure openning template .ps file",
                                   "SendRostoPS/fread: Failure reading template .ps file",
                                   "Failure sending Face Page"},
                      TemplateKind{"txt", "SendRostoTXT/fopen: Failure openning template .txt file",
                                   "SendRostoTXT/fgets: Failure reading template .txt file",
                                   "Failure sending TXT Face Page"}),
    [](const auto& p) { return std::string(p.param.type); });

} // namespace
} // namespace testsupport
