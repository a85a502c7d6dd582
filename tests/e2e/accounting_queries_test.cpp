// The jq commands that the README gives for the accounting records (and
// tindrel.8 repeats) answer their questions on records the daemon wrote,
// with older records in rotated files.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <regex>
#include <tuple>

#include "support/service_test.h"

namespace testsupport {
namespace {

// Daemon and jq share a zone with a half-hour offset: records say +05:30.
constexpr const char* kZone = "TZ=<+0530>-5:30";

// `when` as a record writes it, in the zone `offset` minutes east of UTC.
std::string startText(std::time_t when, int offset) {
    std::time_t shifted = when + offset * 60;
    std::tm t{};
    gmtime_r(&shifted, &t);
    char text[40];
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &t);
    std::snprintf(text + n, sizeof text - n, "%+03d:%02d", offset / 60, (offset + 1440) % 60);
    return text;
}

class AccountingQueries : public ServiceTest {};

TEST_F(AccountingQueries, ReadmeCommandsAnswerOnTheDaemonsRecords) {
    if (findProgram("jq").empty())
        GTEST_SKIP() << "jq is not installed";
    const std::string readme = readFile(std::string(TINDREL_SOURCE_DIR) + "/README.md");
    const std::string section = readme.substr(readme.find("## The accounting record"));
    std::vector<std::string> queries;
    const std::regex block("```sh\n(zcat -f accounting[^`]*)```");
    for (std::sregex_iterator it(section.begin(), section.end(), block), end; it != end; ++it)
        queries.push_back((*it)[1]);
    ASSERT_EQ(queries.size(), 4u);
    const std::string manual = std::regex_replace(
        std::regex_replace(readFile(std::string(TINDREL_SOURCE_DIR) + "/man/tindrel.8"),
                           std::regex(R"(\\-)"), "-"),
        std::regex(R"(\\e)"), "\\");
    for (const std::string& query : queries)
        EXPECT_NE(manual.find(query), std::string::npos) << "not in tindrel.8:\n" << query;

    set("accounting", "accounting.jsonl");
    printer->plan({{}, {}, {}, {.trigger = "lost", .reset = true}});
    ASSERT_NO_FATAL_FAILURE(start("", {.env = {kZone}}));
    const std::string ps = "%!PS-Adobe-3.0\n%%Title: r.pdf\n";
    for (auto [from, job, lost] : {std::tuple{"127.0.0.1", "%%For: wiwang\n%%Pages: 3\n", false},
                                   {"127.0.0.2", "%%For: wiwang\n%%Pages: 2\n", false},
                                   {"127.0.0.3", "%%For: ana\n", false},
                                   {"127.0.0.2", "%%For: ana\n%%Pages: 4\nlost", true}}) {
        Client client(port, 10, 0, "127.0.0.1", from);
        EXPECT_TRUE(client.send(ps + job));
        client.shutdownWrite();
        EXPECT_TRUE(client.readToEnd());
        EXPECT_EQ(client.wasReset(), lost) << job;
    }
    ASSERT_TRUE(waitUntil([&] { return splitLines(dir.read("accounting.jsonl")).size() == 4; }, 5));
    std::vector<nlohmann::json> rec;
    for (const std::string& line : splitLines(dir.read("accounting.jsonl")))
        rec.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(rec[3]["outcome"], "printer-failed");

    // Copies of the first record from other times: 40 days ago, the 1st of
    // this month (with the printer's own count), lost ones just inside and
    // outside 24 hours, written in other zones (the last one 20 minutes
    // outside, so that the minutes of its offset count).
    const std::time_t now = std::time(nullptr), local = now + 330 * 60;
    std::tm today{};
    gmtime_r(&local, &today);
    const std::time_t first =
        now - (today.tm_mday - 1) * 86400 - today.tm_hour * 3600 - today.tm_min * 60;
    using json = nlohmann::json;
    for (auto [file, when, offset, outcome, user, printed] :
         {std::tuple{"accounting.jsonl.2", now - 40 * 86400, 330, "delivered", json("ana"),
                     json(9)},
          {"accounting.jsonl.2", first, 330, "delivered", json("ana"), json(6)},
          {"accounting.jsonl.1", now - 84600, -600, "idle-time-out", json(), json()},
          {"accounting.jsonl.1", now - 87600, 330, "client-stalled", json("ana"), json()}}) {
        json r = rec[0];
        r.update({{"start", startText(when, offset)},
                  {"outcome", outcome},
                  {"user", user},
                  {"printed_pages", printed}});
        dir.write(file, dir.read(file) + r.dump() + "\n");
    }
    ASSERT_EQ(run({"gzip", dir.file("accounting.jsonl.2")}).status, 0);

    auto start = [&](size_t i) { return rec[i]["start"].get<std::string>(); };
    const std::vector<std::vector<std::string>> expected = {
        {today.tm_mday == 1 ? "ana\t6\t2" : "ana\t0\t1", "wiwang\t5\t2"},
        {"ana\t6\t2", "wiwang\t5\t2"},
        {start(3) + "\t127.0.0.2\tana\tr.pdf\tprinter-failed",
         startText(now - 84600, -600) + "\t127.0.0.1\t\tr.pdf\tidle-time-out"},
        {start(1) + "\twiwang\tr.pdf\t2\tdelivered", start(3) + "\tana\tr.pdf\t4\tprinter-failed"}};
    for (size_t i = 0; i < queries.size(); ++i) {
        const std::string query =
            std::regex_replace(queries[i], std::regex("10.1.2.3"), "127.0.0.2");
        RunResult r = run({"env", kZone, "sh", "-c", "cd " + dir.path() + " && " + query});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(splitLines(r.out), expected[i]) << query;
    }
}

} // namespace
} // namespace testsupport
