// Metrics file reader: any text is either refused, leaving the counters as
// they were, or read as counters whose text holds every sample line read and
// reads back as the same counters; counting a job on top of them keeps them.
#include "fuzz_support.h"

#include "joblog/joblog.h"

#include <vector>

namespace {

std::vector<std::string> linesOf(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        lines.emplace_back(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Metrics m;
    m.received = 7; // a refusal leaves this
    std::string why;
    if (parseMetrics(text, m, why) != 0) {
        fuzz::check(!why.empty(), "refused without a reason");
        fuzz::check(m.received == 7 && m.jobs.empty(), "a refused text changed the counters");
        return 0;
    }
    fuzz::check(size <= kMetricsFileMax, "read a text above the bound");
    const std::string written = metricsText(m);
    Metrics back;
    fuzz::check(parseMetrics(written, back, why) == 0, "its own text is refused");
    fuzz::check(metricsText(back) == written, "its own text reads back differently");
    // Every sample read is written again as it stood.
    for (const std::string& line : linesOf(text))
        if (!line.empty() && line.front() != '#')
            fuzz::check(("\n" + written).find("\n" + line + "\n") != std::string::npos,
                        "a sample read is not written back as it stood");

    JobRecord job;
    job.outcome = "delivered";
    job.received = 1;
    Metrics next = addJob(back, job, true);
    fuzz::check(next.jobs.size() >= back.jobs.size(), "counting a job lost an outcome");
    fuzz::check(next.received == back.received + 1, "counting a job lost received bytes");
    return 0;
}
