// Clients and printers of both families, and printers by name, through the
// built daemon.
#include "support/service_test.h"

#include <gtest/gtest.h>

namespace testsupport {
namespace {

class Addresses : public ServiceTest {
protected:
    // Sends a job from `host` and returns the face page it got.
    std::string pageFor(const std::string& host, const std::string& job, size_t index) {
        Client client(port, 10, 0, host);
        EXPECT_TRUE(client.connected()) << host;
        EXPECT_TRUE(client.send(job));
        client.shutdownWrite();
        EXPECT_TRUE(client.readToEnd());
        EXPECT_TRUE(waitJobs(index + 1));
        auto connections = printer->connections();
        if (connections.size() <= index)
            return std::string();
        auto parts = splitFacePages(connections[index].data, face_template);
        EXPECT_TRUE(parts && parts->size() == 1 && parts->front().job == job);
        return parts && !parts->empty() ? parts->front().page : std::string();
    }
};

// Its address on the face page and in the log; its record written in another form.
TEST_F(Addresses, Ipv6ClientIsNamedAndListed) {
    dir.write("tindrel.db", "0:0:0:0:0:0:0:1 B6 5556\n");
    set("proxy-ip", "::1");
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string page = pageFor("::1", "%!PS\n(over IPv6) show\n", 0);
    EXPECT_NE(page.find("(IP ADDRESS : ::1) N\n"), std::string::npos) << page;
    EXPECT_NE(page.find("(OFFICE : B6) N\n(PHONE : 5556) N\n"), std::string::npos) << page;
    ASSERT_EQ(log.waitCounts(1).size(), 1u);
    EXPECT_NE(log.text().find(" : ip=[::1] : msg=[Success sending Face Page]"), std::string::npos)
        << log.text();
}

// :: takes both families; an IPv4 client keeps its IPv4 text.
TEST_F(Addresses, AnyAddressServesBothFamilies) {
    set("proxy-ip", "::");
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string page4 = pageFor("127.0.0.1", "%!PS\n(over IPv4) show\n", 0);
    EXPECT_NE(page4.find("(IP ADDRESS : 127.0.0.1) N\n"), std::string::npos) << page4;
    EXPECT_NE(page4.find("(OFFICE : A12) N\n"), std::string::npos) << page4;
    const std::string page6 = pageFor("::1", "%!PS\n(over IPv6) show\n", 1);
    EXPECT_NE(page6.find("(IP ADDRESS : ::1) N\n"), std::string::npos) << page6;
    ASSERT_EQ(log.waitCounts(2).size(), 2u);
    EXPECT_NE(log.text().find(" : ip=[127.0.0.1] : msg=[: Sent bytes"), std::string::npos)
        << log.text();
    EXPECT_NE(log.text().find(" : ip=[::1] : msg=[: Sent bytes"), std::string::npos) << log.text();
}

TEST_F(Addresses, PrinterAtIpv6Address) {
    usePrinter({.address = "::1"});
    set("printer-ip", "::1");
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = "%!PS\n(to an IPv6 printer) show\n";
    ASSERT_NO_FATAL_FAILURE(sendJob(job));
    ASSERT_TRUE(waitJobs(1));
    EXPECT_EQ(jobOf(0), job);
}

// The name is looked up at each attempt: once it no longer resolves, the
// printer is unreachable for that job.
TEST_F(Addresses, PrinterByNameUntilTheNameIsGone) {
    TINDREL_IN_PRIVATE_NETWORK();
    const std::string hosts = useHosts("::1 printer.test\n");
    usePrinter({.address = "::1"});
    set("printer-ip", "printer.test");
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = "%!PS\n(to a printer by name) show\n";
    ASSERT_NO_FATAL_FAILURE(sendJob(job));
    ASSERT_TRUE(waitJobs(1));
    EXPECT_EQ(jobOf(0), job);

    writeFile(hosts, "127.0.0.1 localhost\n"); // same file, so the bind sees it
    expect_running = false;
    EXPECT_TRUE(lostJobIsReset("%!PS\n(lost) show\n"));
    EXPECT_TRUE(log.waitFor("Unable to connect printer")) << log.text();
    EXPECT_EQ(daemon->waitExit(), 0);
    EXPECT_EQ(printer->connections().size(), 1u);
}

} // namespace
} // namespace testsupport
