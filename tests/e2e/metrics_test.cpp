// The metrics file as the Prometheus node exporter publishes it: its textfile
// collector reads the daemon's folder, and a scrape finds the counters.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "support/service_test.h"

namespace testsupport {
namespace {

class MetricsFile : public ServiceTest {};

// One job delivered into the device, one lost because the device cannot be
// opened (a FIFO without a reader).
TEST_F(MetricsFile, NodeExporterPublishesTheCountersOfTheJobs) {
    const std::string exporter = findProgram("prometheus-node-exporter");
    if (exporter.empty())
        GTEST_SKIP() << "prometheus-node-exporter is not installed";
    use(Mode::Spool);
    set("metrics", "tindrel.prom");
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string job = randomBytes(5000, 9);
    ASSERT_NO_FATAL_FAILURE(sendJob(job));
    ASSERT_TRUE(waitIdle(1));
    ASSERT_EQ(unlink(device.c_str()), 0);
    ASSERT_EQ(mkfifo(device.c_str(), 0666), 0);
    EXPECT_TRUE(lostJobIsReset());
    ASSERT_TRUE(waitIdle(2));

    const uint16_t web = freePort();
    Process node({exporter, "--collector.disable-defaults", "--collector.textfile",
                  "--collector.textfile.directory=" + dir.path(),
                  "--web.listen-address=127.0.0.1:" + std::to_string(web)});
    ASSERT_TRUE(node.waitListening(web)) << node.err();
    Client scrape(web);
    ASSERT_TRUE(scrape.send("GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"));
    ASSERT_TRUE(scrape.readToEnd());
    const std::string& page = scrape.received();
    ASSERT_TRUE(page.starts_with("HTTP/1.0 200 OK\r\n")) << page;
    for (const std::string line :
         {"node_textfile_scrape_error 0", "tindrel_jobs_total{outcome=\"delivered\"} 1",
          "tindrel_jobs_total{outcome=\"device-unavailable\"} 1",
          "tindrel_jobs_total{outcome=\"printer-failed\"} 0", "tindrel_received_bytes_total 5000",
          "tindrel_delivered_bytes_total 5000", "tindrel_printer_up 0"})
        EXPECT_NE(page.find("\n" + line + "\n"), std::string::npos) << line << " in:\n" << page;
}

} // namespace
} // namespace testsupport
