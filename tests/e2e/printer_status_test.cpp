// printer-status = pjl: the face page and the job go to the printer as two
// named PJL jobs, the job ends when the printer says it came out, and what
// the printer says reaches the record and the log, not the client that did
// not ask for it.
#include <gtest/gtest.h>

#include "support/service_test.h"

namespace testsupport {
namespace {

const std::string kUel = "\x1b%-12345X";

struct WordCase {
    const char* name;
    PjlTable printer;
    std::string job;
    const char* outcome;
    nlohmann::json printed_pages;
    nlohmann::json printer_result;
    nlohmann::json printer_messages;
    const char* log_line;         // one line of the job log, or nullptr
    std::string client_gets = ""; // what the client receives
};

class PrinterWord : public ServiceTest, public ::testing::WithParamInterface<WordCase> {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        set("accounting", "accounting.jsonl");
        set("printer-status", "pjl");
    }
};

TEST_P(PrinterWord, JobEndsWithThePrintersWord) {
    const WordCase& c = GetParam();
    set("idletime", "2");
    printer->speakPjl(c.printer);
    ASSERT_NO_FATAL_FAILURE(start());
    Client client(port);
    ASSERT_TRUE(client.send(c.job));
    client.shutdownWrite();
    EXPECT_TRUE(client.readToEnd());
    auto r = records(1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["outcome"], c.outcome);
    EXPECT_EQ(client.wasReset(), std::string(c.outcome) != "delivered");
    EXPECT_EQ(r[0]["printed_pages"], c.printed_pages);
    EXPECT_EQ(r[0]["printer_result"], c.printer_result);
    EXPECT_EQ(r[0]["printer_messages"], c.printer_messages);
    EXPECT_EQ(client.received(), c.client_gets);
    if (c.log_line) {
        EXPECT_TRUE(log.waitFor(std::string("msg=[") + c.log_line + "]")) << log.text();
        EXPECT_EQ(countOccurrences(log.text(), c.log_line), 1u) << log.text();
    }
    // The face page and the job each in a named frame, the job's bytes unchanged.
    ASSERT_TRUE(printer->waitConnections(1));
    const std::string data = printer->connections().at(0).data;
    const std::string open_page = "@PJL JOB NAME=\"tindrel 1 face page\"\r\n";
    const std::string open_job = "@PJL JOB NAME=\"tindrel 1\"\r\n";
    const std::string close_job = kUel + "@PJL EOJ NAME=\"tindrel 1\"\r\n" + kUel;
    size_t page = data.find(open_page), job = data.find(open_job + c.job + close_job);
    EXPECT_LT(page, data.find(face_template));
    EXPECT_LT(data.find("@PJL EOJ NAME=\"tindrel 1 face page\""), job);
    EXPECT_NE(job, std::string::npos) << data;
}

const std::string kPs = "%!PS-Adobe-3.0\n%%Title: report\n%%EndComments\nshowpage\n";
const std::string kPageOn = kUel + "@PJL USTATUS PAGE=ON\r\n@PJL ENTER LANGUAGE=POSTSCRIPT\r\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Answers, PrinterWord, ::testing::Values(
    WordCase{"PagesAfterTheFacePage", {.job = {.pages = 3, .end_pages = 3}}, kPs,
             "delivered", 3, "OK", nlohmann::json::array(), nullptr},
    WordCase{"CanceledAtThePanel", {.job = {.result = "USER_CANCELED"}}, kPs,
             "printer-canceled", 1, "USER_CANCELED", nlohmann::json::array(),
             "Printer canceled the job"},
    WordCase{"NeverSaysTheEnd", {.job = {.end = false}}, kPs,
             "delivered", nullptr, nullptr, nlohmann::json::array(), nullptr},
    WordCase{"PaperOut", {.job = {.device_code = "41213", .device_display = "LOAD TRAY 2"}}, kPs,
             "delivered", 1, "OK", {"41213 LOAD TRAY 2"},
             "Printer reports: 41213 LOAD TRAY 2"},
    WordCase{"PostScriptError", {.job = {.on_data = "%%[ Error: undefined; OffendingCommand: x ]%%\r\n"}},
             kPs, "printer-canceled", 1, "postscript-error",
             {"Error: undefined; OffendingCommand: x"}, "Printer canceled the job",
             "%%[ Error: undefined; OffendingCommand: x ]%%\r\n"},
    // The client turned PAGE on: it gets every page message, the face page's
    // too, but not the ends of tindrel's jobs.
    WordCase{"ClientAskedForPages", {.job = {.pages = 2, .end_pages = 2}}, kPageOn + kPs,
             "delivered", 2, "OK", nlohmann::json::array(), nullptr,
             "@PJL USTATUS PAGE\r\n1\r\n\f@PJL USTATUS PAGE\r\n1\r\n\f"
             "@PJL USTATUS PAGE\r\n2\r\n\f"},
    // The client's own named job nests in tindrel's; its start is its own.
    WordCase{"ClientJobNests", {.job = {.end_pages = 4}},
             kUel + "@PJL USTATUS JOB=ON\r\n@PJL JOB NAME=\"mine\"\r\n" + kPs + kUel +
                 "@PJL EOJ NAME=\"mine\"\r\n" + kUel,
             "delivered", 4, "OK", nlohmann::json::array(), nullptr,
             "@PJL USTATUS JOB\r\nSTART\r\nNAME=\"mine\"\r\n\f"}),
    [](const auto& p) { return std::string(p.param.name); });
// clang-format on

class PrinterWordService : public ServiceTest {};

// Numbers go on after a restart, in the record and in the printer's job
// names, even once the records have been rotated away.
TEST_F(PrinterWordService, JobNumbersGoOnAfterARestart) {
    set("accounting", "accounting.jsonl");
    set("printer-status", "pjl");
    printer->speakPjl({});
    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE(run);
        ASSERT_NO_FATAL_FAILURE(start());
        ASSERT_NO_FATAL_FAILURE(sendJob(kPs));
        auto r = records(1);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0]["job"], run);
        ASSERT_TRUE(printer->waitConnections(static_cast<size_t>(run)));
        EXPECT_NE(
            printer->connections().back().data.find("NAME=\"tindrel " + std::to_string(run) + "\""),
            std::string::npos);
        daemon.reset();
        std::remove(dir.file("accounting.jsonl").c_str()); // rotated
    }
}

// -t asks the printer for its model.
TEST_F(PrinterWordService, CheckAsksThePrinterWhoItIs) {
    printer->speakPjl({.model = "FAKE LASERJET 9100"});
    set("printer-status", "pjl");
    auto r = run({TINDREL_BINARY, "-t", "-C", writeConfig()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("tindrel: printer-status pjl: the printer answers: FAKE LASERJET 9100\n"),
              std::string::npos)
        << r.out << r.err;
}

} // namespace
} // namespace testsupport
