// The listening socket: a port taken by another program and a start with
// the standard streams closed. Running out of descriptors is in
// tests/faults/bounded_waits_test.cpp.
#include <gtest/gtest.h>

#include "support/service_test.h"

namespace testsupport {
namespace {

class Listener : public ServiceTest {
protected:
    // Starts the daemon on a port chosen here, without waiting for it.
    void launch(DaemonOptions options = {}) {
        if (port == 0)
            port = freePort();
        set("proxy-port", std::to_string(port));
        daemon = std::make_unique<Daemon>(daemonArgs(), options);
    }
};

TEST_F(Listener, PortInUseEndsWithBindMessage) {
    FakePrinter holder;
    port = holder.port();

    expect_running = false;
    launch();
    EXPECT_EQ(daemon->waitExit(), 1) << "the daemon kept running on a port it could not bind";
    EXPECT_TRUE(daemon->err().starts_with("bind")) << daemon->err();
    EXPECT_EQ(daemon->out().find("waiting for requests"), std::string::npos);
}

// Started with standard input and output closed, connections could take
// descriptors 0 and 1; the job must stay clean of console text and the face
// page must still go to the printer.
TEST_F(Listener, ClosedStandardStreamsKeepJobsClean) {
    launch({.close_stdin = true, .close_stdout = true});
    ASSERT_TRUE(daemon->waitListening(port)) << daemon->err();
    Client client(port);
    ASSERT_TRUE(client.send("clean job"));
    client.shutdownWrite();
    EXPECT_TRUE(client.readToEnd());
    EXPECT_EQ(client.received(), "");
    ASSERT_TRUE(waitJobs(1));
    EXPECT_EQ(jobOf(0), "clean job");
}

} // namespace
} // namespace testsupport
