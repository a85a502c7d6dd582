// The device spool service, run as the real daemon with a plain file, a
// failing device or a pipe as the printer device.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/service_test.h"

namespace testsupport {
namespace {

class Spool : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        use(Mode::Spool);
    }
};

TEST_F(Spool, DeviceThatCannotBeOpenedRefusesTheJob) {
    const std::string missing_dir = dir.file("missing");
    useDevice(missing_dir + "/lp0");
    ASSERT_NO_FATAL_FAILURE(start());
    // Sending nothing, the client can be reset only because the job was lost.
    EXPECT_TRUE(lostJobIsReset());
    EXPECT_TRUE(log.waitFor("ip=[127.0.0.1] : msg=[Unable to open printer device]"));
    EXPECT_TRUE(daemon->waitErr("spoolDevice")) << daemon->err();

    // Once the device is there the service takes jobs again.
    ASSERT_EQ(mkdir(missing_dir.c_str(), 0777), 0);
    chmod(missing_dir.c_str(), 0777);
    ASSERT_NO_FATAL_FAILURE(expectStillServes());
}

// The device refuses the face page already: each job is lost, the client is
// reset and the log says why, without counting bytes the device lost.
TEST_F(Spool, FailingDeviceEndsTheJobWithoutCountingLostBytes) {
    useDevice("/dev/full");
    ASSERT_NO_FATAL_FAILURE(start());
    for (std::string job : {"x", "never stored"})
        EXPECT_TRUE(lostJobIsReset(job)) << job;
    EXPECT_EQ(log.waitCounts(2), (std::vector<long long>{0, 0})) << log.text();
    const std::string text = log.text();
    const size_t page = text.find("msg=[Failure sending Face Page]");
    const size_t device_line = text.find("msg=[Unable to write printer device]");
    EXPECT_LT(page, device_line) << text;
    EXPECT_LT(device_line, text.find(sentBytes(0))) << text;
    EXPECT_EQ(countOccurrences(text, "msg=[Unable to write printer device]"), 2u) << text;
    EXPECT_EQ(text.find("Success"), std::string::npos) << text;
    EXPECT_TRUE(daemon->waitErr("spoolDevice/fwrite: ")) << daemon->err();
}

// Reads the pipe until `until` has arrived.
bool readPipe(int fd, std::string& into, std::string_view until) {
    return waitUntil(
        [&] {
            char buffer[4096];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0)
                into.append(buffer, static_cast<size_t>(n));
            return into.find(until) != std::string::npos;
        },
        10);
}

// A device pipe whose reader has gone fails the write; that ends the job,
// not the daemon, which serves the next job once a reader is back.
TEST_F(Spool, DevicePipeWithoutReaderEndsOnlyThatJob) {
    const std::string fifo = dir.file("lp-pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    chmod(fifo.c_str(), 0666);
    useDevice(fifo);
    ASSERT_NO_FATAL_FAILURE(start());

    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    Client client(port);
    ASSERT_TRUE(client.send("read "));
    std::string page;
    ASSERT_TRUE(readPipe(reader, page, std::string(kFacePageEnd) + "read "));
    close(reader);
    ASSERT_TRUE(client.send("bytes nobody reads"));
    client.shutdownWrite();
    EXPECT_TRUE(client.readToEnd());
    EXPECT_TRUE(client.wasReset());
    ASSERT_TRUE(log.waitFor(sentBytes(5)));
    EXPECT_TRUE(daemon->waitErr("spoolDevice/"));

    reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_NO_FATAL_FAILURE(sendJob("next"));
    std::string data;
    EXPECT_TRUE(readPipe(reader, data, std::string(kFacePageEnd) + "next"));
    close(reader);
    EXPECT_TRUE(log.waitFor(sentBytes(9)));
}

} // namespace
} // namespace testsupport
