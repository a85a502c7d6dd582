#include "facepage/facepage.h"

#include "common/io.h"
#include "jobheader/jobheader.h"
#include "joblog/joblog.h"
#include "settings/settings.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace {

// Template lines are read with this buffer size: a longer line arrives in
// pieces of kTxtLineRead - 1 characters.
constexpr int kTxtLineRead = 120;

// One template line, newline included. A read at the end of the file (or a
// failed one) gives an empty line.
std::string readLine(FILE* file) {
    char buf[kTxtLineRead] = {};
    if (!std::fgets(buf, sizeof buf, file))
        return std::string();
    return std::string(buf);
}

// A heading of one character and its newline, or a lone newline, is left out.
void appendHeading(std::string& page, const std::string& line, std::string_view after) {
    if (line.size() == 1 || line.size() == 2)
        return;
    page += line;
    page += after;
}

} // namespace

std::string formatTxtLine(std::string_view line, std::string_view value) {
    std::string out;
    out.reserve(line.size() + value.size());
    bool used = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '%' && i + 1 < line.size()) {
            if (line[i + 1] == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (line[i + 1] == 's' && !used) {
                out += value;
                used = true;
                ++i;
                continue;
            }
        }
        out += line[i];
    }
    return out;
}

int SendRostoTXT(PageOutput& out, const tindrel::NetAddress& address, const char* client_ip,
                 const PageClaims& claims) {
    // Trimmed in place: a name read from a CR LF configuration still opens, for later jobs too.
    std::string& name = conf.template_name;
    name.resize(tindrel::trimEnd(name).size());
    if (verbose)
        std::printf("%s: conf.template_name=[%s]\n", "SendRostoTXT", name.c_str());
    std::string_view ip = client_ip ? client_ip : "";

    std::string date = tindrel::ctimeNow();
    std::string host = hostNameOf(address);
    int pos = lookupIp(ip);

    tindrel::UniqueFile tmpl = tindrel::openFile(name, "r");
    if (!tmpl) {
        out.template_unreadable = templateMissingIsFatal(errno);
        out.whole = false;
        std::perror("SendRostoTXT/fopen: Failure openning template .txt file");
        logPrint("Failure sending TXT Face Page", date, ip);
        return 1;
    }
    struct stat st {};
    if (fstat(fileno(tmpl.get()), &st) != 0) {
        out.template_unreadable = true;
        out.whole = false;
        logPrint("Failure sending TXT Face Page", date, ip);
        return 1;
    }

    std::string page;
    appendHeading(page, readLine(tmpl.get()), "\n");
    appendHeading(page, readLine(tmpl.get()), "\n\n\n\n\n");
    // Each line has its value: a missing value leaves its line out, and
    // the values after it stay under their own labels.
    const std::optional<std::string> values[] = {
        std::string(ip),
        host.empty() ? std::nullopt : std::optional(host),
        date,
        pos >= 0 ? std::optional(userDb[pos].office) : std::nullopt,
        pos >= 0 ? std::optional(userDb[pos].phone) : std::nullopt,
        claims.owner.empty() ? std::nullopt : std::optional(pageForm(claims.owner)),
        claims.document.empty() ? std::nullopt : std::optional(pageForm(claims.document)),
    };
    for (const auto& value : values) {
        std::string line = readLine(tmpl.get());
        if (value)
            page += formatTxtLine(line, *value);
    }
    page += "-1";
    // A template path naming a directory opens but cannot be read: its lines count as empty.
    if (std::ferror(tmpl.get()))
        std::perror("SendRostoTXT/fgets: Failure reading template .txt file");

    tmpl.reset();
    if (sendPiece(out, page) != 0) {
        logPrint("Failure sending TXT Face Page", date, ip);
        return 1;
    }
    return logPrint("Success sending TXT Face Page", date, ip);
}
