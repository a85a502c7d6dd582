// The device spool service, run as the real daemon with a plain file (or
// another device) as the printer device.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e/fixture.h"

namespace e2e {
namespace {

class Spool : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        setKey(settings, "printer-ip", "0.0.0.0");
        setKey(settings, "printer-port", "9100");
        useDevice(dir.write("lp0", "", 0666));
    }

    void useDevice(const std::string& path) {
        device = path;
        setKey(settings, "printer-dev", path);
    }

    std::string device;
};

TEST_F(Spool, JobsAreAppendedInOrderAfterTheirFacePages) {
    dir.write("lp0", "earlier content\n", 0666);
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string first = randomBytes(3 * 1024 * 1024, 3);
    const std::string second = "second job\n";
    ASSERT_NO_FATAL_FAILURE(sendJob(first));
    ASSERT_TRUE(waitLog(sentBytes(static_cast<long long>(first.size()))));
    ASSERT_NO_FATAL_FAILURE(sendJob(second));
    ASSERT_TRUE(waitLog(sentBytes(static_cast<long long>(first.size() + second.size()))));

    std::string data = readFile(device);
    const std::string earlier = "earlier content\n";
    ASSERT_EQ(data.substr(0, earlier.size()), earlier);
    auto parts = splitFacePages(std::string_view(data).substr(earlier.size()), kTinyTemplate);
    ASSERT_TRUE(parts.has_value());
    ASSERT_EQ(parts->size(), 2u);
    EXPECT_TRUE((*parts)[0].job == first) << "the first job differs";
    EXPECT_EQ((*parts)[1].job, second);
    EXPECT_NE((*parts)[1].page.find("(IP ADDRESS : 127.0.0.1) N\n"), std::string::npos);
}

TEST_F(Spool, SilentClientEndsByIdleTimeOut) {
    setKey(settings, "idletime", "1");
    ASSERT_NO_FATAL_FAILURE(start());
    Client client(port, secondsFromNow(5));
    std::string got;
    EXPECT_TRUE(client.readToEnd(got, secondsFromNow(15))) << "the client was never closed";
    ASSERT_TRUE(waitLog(sentBytes(0)));

    auto parts = splitFacePages(readFile(device), kTinyTemplate);
    ASSERT_TRUE(parts && parts->size() == 1);
    EXPECT_EQ(parts->front().job, "");
}

TEST_F(Spool, DeviceThatCannotBeOpenedRefusesTheJob) {
    const std::string missing_dir = dir.file("missing");
    useDevice(missing_dir + "/lp0");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(sendJob("refused job"));
    EXPECT_TRUE(waitLog("ip=[127.0.0.1] : msg=[Unable to open printer device]"));
    EXPECT_TRUE(daemon->waitErr("spoolDevice", secondsFromNow(5))) << daemon->err();

    // Once the device is there the service takes jobs again.
    ASSERT_EQ(mkdir(missing_dir.c_str(), 0777), 0);
    chmod(missing_dir.c_str(), 0777);
    ASSERT_NO_FATAL_FAILURE(sendJob("next job"));
    ASSERT_TRUE(waitLog(sentBytes(8)));
    auto parts = splitFacePages(readFile(device), kTinyTemplate);
    ASSERT_TRUE(parts && parts->size() == 1);
    EXPECT_EQ(parts->front().job, "next job");
}

TEST_F(Spool, FailingDeviceEndsTheJobWithoutCountingLostBytes) {
    useDevice("/dev/full");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(sendJob("never stored"));
    ASSERT_TRUE(waitLog(sentBytes(0)));
    EXPECT_TRUE(daemon->waitErr("spoolDevice/", secondsFromNow(5))) << daemon->err();

    ASSERT_NO_FATAL_FAILURE(sendJob("never stored either"));
    EXPECT_TRUE(waitLog(sentBytes(0), 2)) << readFile(logPath());
    EXPECT_EQ(countOccurrences(readFile(logPath()), "Sent bytes"), 2u);
}

// Reads what is in the pipe until `until` has arrived.
bool readPipe(int fd, std::string& into, std::string_view until, Clock::time_point deadline) {
    while (into.find(until) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            into.append(buffer, static_cast<size_t>(n));
        else if (n == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10)); // no writer yet
    }
    return true;
}

// A device pipe whose reader has gone fails the write; the daemon must not
// be ended by it, and serves the next job once a reader is back.
TEST_F(Spool, DevicePipeWithoutReaderEndsOnlyThatJob) {
    const std::string fifo = dir.file("lp-pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    chmod(fifo.c_str(), 0666);
    useDevice(fifo);
    ASSERT_NO_FATAL_FAILURE(start());

    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    Client client(port, secondsFromNow(5));
    std::string page;
    ASSERT_TRUE(readPipe(reader, page, kFacePageEnd, secondsFromNow(10)));
    close(reader);
    ASSERT_TRUE(client.send("bytes nobody reads"));
    client.shutdownWrite();
    std::string got;
    EXPECT_TRUE(client.readToEnd(got, secondsFromNow(15)));
    ASSERT_TRUE(waitLog(sentBytes(0)));
    EXPECT_TRUE(daemon->waitErr("spoolDevice/", secondsFromNow(5)));

    reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_NO_FATAL_FAILURE(sendJob("next"));
    std::string data;
    EXPECT_TRUE(readPipe(reader, data, std::string(kFacePageEnd) + "next", secondsFromNow(10)));
    close(reader);
    EXPECT_TRUE(waitLog(sentBytes(4)));
}

} // namespace
} // namespace e2e
