// The printer's word: with printer-status pjl the face page and the job go
// out as named PJL jobs whose progress and end the printer reports on the
// job's connection; in every mode its PostScript messages are read as they
// pass. What tindrel asked for itself is kept from the client.
#include "service/service.h"

#include <algorithm>

#include "joblog/joblog.h"

namespace {

// The unsolicited status each frame turns on, before the JOB command so that
// the printer reports the job's start too.
constexpr std::string_view kUstatusOn =
    "@PJL USTATUS JOB=ON\r\n@PJL USTATUS PAGE=ON\r\n@PJL USTATUS DEVICE=ON\r\n";

void remember(std::vector<std::string>& list, const std::string& text) {
    if (!text.empty() && list.size() < kPrinterMessagesMax &&
        std::find(list.begin(), list.end(), text) == list.end())
        list.push_back(text);
}

std::string jobText(const JobRecord& record) {
    std::string text = record.document ? *record.document : "the job";
    text += record.user ? " for " + *record.user : " from " + record.client;
    return text;
}

// A problem is logged once per job and shown while it lasts.
void reportProblem(PrinterWord& word, const std::string& text, const JobRecord& record) {
    const std::string line = "Printer reports: " + text;
    if (std::find(word.logged.begin(), word.logged.end(), text) == word.logged.end()) {
        word.logged.push_back(text);
        logPrint(line, std::nullopt, record.client);
    }
    word.problem = text;
    notifyStatus(line + ", printing " + jobText(record));
}

void heard(PrinterWord& word, const PrinterMessage& message, const JobRecord& record) {
    using Kind = PrinterMessage::Kind;
    // Printers may give a name back in capitals.
    const bool own_job =
        !word.job_name.empty() && tindrel::equalsNoCase(message.name, word.job_name);
    switch (message.kind) {
    case Kind::JobStart:
        if (own_job) {
            word.printing = true;
            notifyStatus("printing " + jobText(record));
        }
        break;
    case Kind::JobEnd:
        if (own_job) {
            word.ended = true;
            word.printing = false;
            word.printed_pages = message.pages;
            word.result = message.result;
        }
        break;
    case Kind::Page:
        if (word.printing && message.page) {
            word.problem.clear();
            notifyStatus("printing page " + std::to_string(*message.page) + " of " +
                         jobText(record));
        }
        break;
    case Kind::Device: {
        if (!message.code)
            break;
        std::string text = std::to_string(*message.code);
        if (!message.text.empty())
            text += " " + message.text;
        if (deviceState(*message.code) == DeviceState::Ready) {
            if (!word.problem.empty())
                notifyStatus("printing " + jobText(record));
            word.problem.clear();
            break;
        }
        remember(word.messages, text);
        if (*message.code >= 30000)
            reportProblem(word, text, record);
        break;
    }
    case Kind::PostScript:
        remember(word.messages, message.text);
        if (message.text.starts_with("Error:"))
            word.postscript_error = true;
        else if (message.text.starts_with("PrinterError:"))
            reportProblem(word, message.text, record);
        break;
    case Kind::Info:
        break;
    }
}

} // namespace

void listenToPrinter(PrinterWord& word, long job, const JobHeader& header, bool pjl) {
    if (!pjl)
        return; // the PostScript messages are read, nothing is kept back
    word.job_name = "tindrel " + std::to_string(job);
    word.page_name = word.job_name + " face page";
    word.rules.own_names = {word.job_name, word.page_name};
    word.rules.keep_job = !header.ustatus_job;
    word.rules.keep_page = !header.ustatus_page;
    word.rules.keep_device = !header.ustatus_device;
}

std::string pjlJobOpen(std::string_view name, bool postscript) {
    std::string frame(kUel);
    frame += kUstatusOn;
    frame += "@PJL JOB NAME=\"";
    frame += name;
    frame += "\"\r\n";
    if (postscript)
        frame += "@PJL ENTER LANGUAGE=POSTSCRIPT\r\n";
    return frame;
}

std::string pjlJobClose(std::string_view name) {
    std::string frame(kUel);
    frame += "@PJL EOJ NAME=\"";
    frame += name;
    frame += "\"\r\n";
    frame += kUel;
    return frame;
}

bool hearPrinter(PrinterWord& word, std::string_view chunk, std::string& relay,
                 const JobRecord& record) {
    std::vector<PrinterMessage> messages;
    readBackChannel(word.channel, word.rules, chunk, relay, messages);
    for (const PrinterMessage& message : messages)
        heard(word, message, record);
    return !messages.empty();
}

void printerDone(PrinterWord& word, std::string& relay) {
    endBackChannel(word.channel, relay);
}

bool printerCanceled(const PrinterWord& word) {
    return word.postscript_error || (!word.result.empty() && word.result != "OK");
}

void recordPrinterWord(const PrinterWord& word, JobRecord& record) {
    record.printed_pages = word.printed_pages;
    if (!word.result.empty() && word.result != "OK")
        record.printer_result = word.result;
    else if (word.postscript_error)
        record.printer_result = "postscript-error";
    else if (!word.result.empty())
        record.printer_result = word.result;
    record.printer_messages = word.messages;
}
