#include "joblog/joblog.h"
#include "settings/settings.h"
#include "support/support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

JobRecord job(const char* outcome, unsigned long long bytes, long pages, std::time_t end) {
    JobRecord r;
    r.outcome = outcome;
    r.received = bytes;
    r.delivered = bytes / 2;
    r.pages = pages;
    r.end = end;
    return r;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

// Two jobs counted, written, read back and counted on; then every way the
// text can differ from what the writer writes is refused.
TEST(Metrics, CountedWrittenReadBackAndRefusedWhenGarbled) {
    Metrics m;
    m.jobs = {{"delivered", 0}, {"printer-failed", 0}};
    m.start = 1700000000;
    m = addJob(addJob(m, job("delivered", 100, 3, 1700000100), true),
               job("printer-failed", 50, 4, 1700000200), false);
    const std::string text = metricsText(m);
    for (const char* line :
         {"# TYPE tindrel_jobs_total counter\ntindrel_jobs_total{outcome=\"delivered\"} 1\n",
          "tindrel_jobs_total{outcome=\"printer-failed\"} 1\n",
          "tindrel_received_bytes_total 150\n", "tindrel_delivered_bytes_total 75\n",
          "tindrel_pages_total 3\n", "tindrel_printer_up 0\n",
          "tindrel_last_job_timestamp_seconds 1700000200\n",
          "tindrel_start_time_seconds 1700000000\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "in:\n" << text;

    Metrics back;
    std::string why;
    ASSERT_EQ(parseMetrics("# a comment\n\n" + text, back, why), 0) << why;
    EXPECT_EQ(metricsText(back), text);
    back = addJob(back, job("delivered", 10, 1, 1700000300), true);
    EXPECT_NE(metricsText(back).find("{outcome=\"delivered\"} 2\ntindrel_jobs_total"),
              std::string::npos);
    EXPECT_NE(metricsText(back).find("tindrel_received_bytes_total 160\n"), std::string::npos);

    const std::string bad[] = {
        "",
        text.substr(0, text.size() - 3),
        replaced(text, "bytes_total 150", "bytes_total -150"),
        replaced(text, "bytes_total 150", "bytes_total 1.5e2"),
        replaced(text, "bytes_total 150", "bytes_total 0150"),
        replaced(text, "bytes_total 150", "bytes_total 99999999999999999999999"),
        replaced(text, "printer_up 0", "printer_up 2"),
        replaced(text, "\"delivered\"", "\"Delivered\""),
        replaced(text, "tindrel_pages_total 3\n", ""),
        text + "tindrel_pages_total 3\n",
        text + "tindrel_jobs_total{outcome=\"printer-failed\"} 1\n",
        text + "other_series 1\n",
        text + std::string(kMetricsFileMax, '\n'),
    };
    for (const std::string& garbled : bad) {
        Metrics kept = back;
        EXPECT_EQ(parseMetrics(garbled, kept, why), 1) << garbled.substr(0, 200);
        EXPECT_EQ(metricsText(kept), metricsText(back));
    }
}

// The file: counters carried over a restart, a garbled one started afresh,
// and a folder that is gone told once, not at every job.
TEST(Metrics, FileCarriesCountersOverAStartAndTellsAFailureOnce) {
    testsupport::TempDir dir;
    conf.metrics_path = dir.write("t.prom", metricsText(addJob({}, job("empty", 8, 0, 5), true)));
    startMetrics({"delivered", "empty"}, 42);
    std::string text = testsupport::readFile(conf.metrics_path);
    EXPECT_NE(text.find("{outcome=\"empty\"} 1\ntindrel_jobs_total{outcome=\"delivered\"} 0\n"),
              std::string::npos);
    EXPECT_NE(text.find("tindrel_received_bytes_total 8\n"), std::string::npos) << text;
    EXPECT_NE(text.find("tindrel_start_time_seconds 42\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("printer_up"), std::string::npos) << text;
    struct stat st {};
    ASSERT_EQ(stat(conf.metrics_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u); // the node exporter runs as another user

    testsupport::writeFile(conf.metrics_path, "tindrel_received_bytes_total 8\n");
    ::testing::internal::CaptureStderr();
    startMetrics({}, 42);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("cannot be read back"),
              std::string::npos);
    EXPECT_NE(testsupport::readFile(conf.metrics_path).find("tindrel_received_bytes_total 0\n"),
              std::string::npos);

    conf.metrics_path = dir.file("gone/t.prom");
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i)
        countJob(job("delivered", 1, 0, 6), true);
    EXPECT_EQ(testsupport::splitLines(::testing::internal::GetCapturedStderr()).size(), 1u);
    conf = Conf{};
}

} // namespace
