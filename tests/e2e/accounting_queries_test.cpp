// The jq commands that the README gives for the accounting records (and the
// manual page repeats) answer their questions on records the daemon wrote.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <regex>

#include "support/service_test.h"

namespace testsupport {
namespace {

// The daemon and jq share a zone with a half-hour offset, so that records
// carry one such as +05:30.
constexpr const char* kZone = "TZ=<+0530>-5:30";

// The ```sh blocks of the README's accounting section that run jq on the
// records, in order.
std::vector<std::string> readmeQueries() {
    std::string readme = readFile(std::string(TINDREL_SOURCE_DIR) + "/README.md");
    size_t from = readme.find("## The accounting record");
    std::string section = readme.substr(from, readme.find("\n## ", from + 1) - from);
    std::vector<std::string> found;
    std::regex block("```sh\n(zcat -f accounting[^`]*)```");
    for (std::sregex_iterator it(section.begin(), section.end(), block), end; it != end; ++it)
        found.push_back((*it)[1]);
    return found;
}

// `when` as the record writes it, in the zone `offset_minutes` east of UTC.
std::string isoAt(std::time_t when, int offset_minutes) {
    std::time_t shifted = when + offset_minutes * 60;
    std::tm t{};
    gmtime_r(&shifted, &t);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &t);
    int off = std::abs(offset_minutes);
    std::snprintf(text + 19, sizeof text - 19, "%c%02d:%02d", offset_minutes < 0 ? '-' : '+',
                  off / 60, off % 60);
    return text;
}

class AccountingQueries : public ServiceTest {
protected:
    // Sends a job from the loopback address `source`; true when it was lost.
    bool send(const char* source, const std::string& job) {
        Client client(port, 10, 0, "127.0.0.1", source);
        EXPECT_TRUE(client.send(job));
        client.shutdownWrite();
        EXPECT_TRUE(client.readToEnd());
        return client.wasReset();
    }
    std::vector<std::string> answer(std::string query) {
        query = std::regex_replace(query, std::regex("10\\.1\\.2\\.3"), "127.0.0.2");
        RunResult r = run({"env", kZone, "sh", "-c", "cd " + dir.path() + " && " + query});
        EXPECT_EQ(r.status, 0) << query << r.err;
        return splitLines(r.out);
    }
};

TEST_F(AccountingQueries, ReadmeCommandsAnswerOnTheDaemonsRecords) {
    if (findProgram("jq").empty())
        GTEST_SKIP() << "jq is not installed";
    const std::vector<std::string> queries = readmeQueries();
    ASSERT_EQ(queries.size(), 4u);
    std::string manual = readFile(std::string(TINDREL_SOURCE_DIR) + "/man/tindrel.8");
    manual = std::regex_replace(std::regex_replace(manual, std::regex(R"(\\-)"), "-"),
                                std::regex(R"(\\e)"), "\\");
    for (const std::string& query : queries)
        EXPECT_NE(manual.find(query), std::string::npos) << "not in tindrel.8:\n" << query;

    set("accounting", "accounting.jsonl");
    printer->plan({{}, {}, {}, {.trigger = "lost", .reset = true}});
    ASSERT_NO_FATAL_FAILURE(start("", {.env = {kZone}}));
    const std::string ps = "%!PS-Adobe-3.0\n%%Title: r.pdf\n";
    EXPECT_FALSE(send("127.0.0.1", ps + "%%For: wiwang\n%%Pages: 3\n"));
    EXPECT_FALSE(send("127.0.0.2", ps + "%%For: wiwang\n%%Pages: 2\n"));
    EXPECT_FALSE(send("127.0.0.3", ps + "%%For: ana\n"));
    EXPECT_TRUE(send("127.0.0.2", ps + "%%For: ana\n%%Pages: 4\nlost"));
    ASSERT_TRUE(waitUntil([&] { return splitLines(dir.read("accounting.jsonl")).size() == 4; }, 5));
    std::vector<nlohmann::json> rec;
    for (const std::string& line : splitLines(dir.read("accounting.jsonl")))
        rec.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(rec[3]["outcome"], "printer-failed");

    // Copies from other times in rotated files: 40 days ago, the 1st of
    // this month (with the printer's own count), lost ones just inside and
    // outside 24 hours.
    std::time_t now = std::time(nullptr);
    std::time_t local = now + 330 * 60;
    std::tm today{};
    gmtime_r(&local, &today);
    std::time_t first =
        now - (today.tm_mday - 1) * 86400 - (today.tm_hour * 3600 + today.tm_min * 60);
    struct Copy {
        const char* file;
        std::time_t when;
        int offset;
        const char* outcome;
        nlohmann::json user, printed;
    };
    for (const Copy& c :
         {Copy{"accounting.jsonl.2", now - 40 * 86400, 330, "delivered", "ana", 9},
          Copy{"accounting.jsonl.2", first, 330, "delivered", "ana", 6},
          Copy{"accounting.jsonl.1", now - 84600, -600, "idle-time-out", nullptr, nullptr},
          Copy{"accounting.jsonl.1", now - 88200, 600, "client-stalled", "ana", nullptr}}) {
        nlohmann::json r = rec[0];
        r["start"] = isoAt(c.when, c.offset);
        r["outcome"] = c.outcome;
        r["user"] = c.user;
        r["printed_pages"] = c.printed;
        dir.write(c.file, dir.read(c.file) + r.dump() + "\n");
    }
    ASSERT_EQ(run({"gzip", dir.file("accounting.jsonl.2")}).status, 0);

    const std::string ana_today = today.tm_mday == 1 ? "ana\t6\t2" : "ana\t0\t1";
    EXPECT_EQ(answer(queries[0]), (std::vector<std::string>{ana_today, "wiwang\t5\t2"}));
    EXPECT_EQ(answer(queries[1]), (std::vector<std::string>{"ana\t6\t2", "wiwang\t5\t2"}));
    EXPECT_EQ(answer(queries[2]),
              (std::vector<std::string>{
                  rec[3]["start"].get<std::string>() + "\t127.0.0.2\tana\tr.pdf\tprinter-failed",
                  isoAt(now - 84600, -600) + "\t127.0.0.1\t\tr.pdf\tidle-time-out"}));
    EXPECT_EQ(answer(queries[3]),
              (std::vector<std::string>{
                  rec[1]["start"].get<std::string>() + "\twiwang\tr.pdf\t2\tdelivered",
                  rec[3]["start"].get<std::string>() + "\tana\tr.pdf\t4\tprinter-failed"}));
}

} // namespace
} // namespace testsupport
