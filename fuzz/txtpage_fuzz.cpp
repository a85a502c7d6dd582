// Text face page: format lines with any content, and whole pages assembled
// from any template. Input: one flag byte, then a format line and a value
// separated by the first zero byte; the bytes after the flag byte are also
// the template file.
#include "fuzz_support.h"

#include "facepage/facepage.h"
#include "startup/startup.h"

#include <arpa/inet.h>

namespace {

std::string templateFile;
std::string hostName; // of 127.0.0.1, which /etc/hosts answers without a network

void removeScratch() {
    std::remove(templateFile.c_str());
}

void checkFormatLine(std::string_view line, std::string_view value) {
    std::string with = formatTxtLine(line, value);
    std::string without = formatTxtLine(line, "");
    fuzz::check(with.size() <= line.size() + value.size(), "format line grew past line and value");
    // The value is put in once or not at all.
    fuzz::check(with.size() == without.size() || with.size() == without.size() + value.size(),
                "value inserted a wrong number of times");
    if (line.find('%') == std::string_view::npos)
        fuzz::check(with == line, "line without a percent sign changed");
}

// The first template line as the sender reads it: up to and including the
// newline, at most 119 characters, cut at a zero byte.
std::string firstLine(std::string_view text) {
    std::string_view line = text.substr(0, 119);
    if (size_t nl = line.find('\n'); nl != std::string_view::npos)
        line = line.substr(0, nl + 1);
    if (size_t zero = line.find('\0'); zero != std::string_view::npos)
        line = line.substr(0, zero);
    return std::string(line);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    templateFile = fuzz::scratchPath("face.txt");
    std::atexit(removeScratch);
    fuzz::silenceStdout();
    tindrel::NetAddress loopback;
    tindrel::parseAddress("127.0.0.1", loopback);
    hostName = hostNameOf(loopback);
    conf.logfile_path.clear(); // nothing is logged
    verbose = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const uint8_t flags = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t zero = rest.find('\0');
    std::string_view line = rest.substr(0, zero);
    std::string_view value =
        zero == std::string_view::npos ? std::string_view() : rest.substr(zero + 1);
    checkFormatLine(line, value);

    fuzz::writeFileOrDie(templateFile, data + 1, size - 1);
    // A name read from a CR LF configuration, or with trailing blanks, is trimmed first.
    conf.template_name = templateFile;
    if (flags & 1)
        conf.template_name += " \r";
    userDb.clear();
    std::string office = std::string(value.substr(0, kDbOfficeWidth - 1));
    std::string phone = "%n%s%%";
    if (flags & 2)
        userDb.push_back(UserRecord{1, "127.0.0.1", office, phone});

    char* page_data = nullptr;
    size_t page_size = 0;
    PageOutput out;
    out.device = open_memstream(&page_data, &page_size);
    if (!out.device)
        std::abort();
    tindrel::NetAddress client;
    tindrel::parseAddress("127.0.0.1", client);
    int rc = SendRostoTXT(out, client, "127.0.0.1", {});
    std::fclose(out.device);
    std::string page(page_data, page_size);
    std::free(page_data);

    fuzz::check(rc == 0, "SendRostoTXT failed with logging off");
    fuzz::check(conf.template_name == templateFile, "template name not trimmed");
    fuzz::check(page.size() >= 2 && page.ends_with("-1"), "page does not end with -1");
    size_t values =
        std::string_view("127.0.0.1").size() + hostName.size() + 24 + office.size() + phone.size();
    fuzz::check(page.size() <= rest.size() + 1 + 5 + values + 2, "page longer than its parts");
    std::string heading = firstLine(rest);
    if (heading.size() != 1 && heading.size() != 2)
        fuzz::check(page.starts_with(heading + "\n"), "first heading not copied");
    return 0;
}
