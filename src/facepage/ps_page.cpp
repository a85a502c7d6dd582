#include "facepage/facepage.h"

#include "common/io.h"
#include "jobheader/jobheader.h"
#include "joblog/joblog.h"
#include "settings/settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// Closes what the template left open. The last byte, 0xFF, follows the
// final newline on its own.
constexpr std::string_view kTrailer = "border\ngrestore\nend % of iso1dict\npagesave restore\n"
                                      "showpage\n\n%%Trailer\nend\n%%EOF\n\xFF";

void appendLine(std::string& page, std::string_view label, std::string_view value) {
    page += '(';
    page += label;
    page += " : ";
    page += psEscape(value);
    page += ") N\n";
}

} // namespace

std::string psEscape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char ch : value) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '\\' || c == '(' || c == ')') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c > 0x7E) {
            out += '\\';
            out += static_cast<char>('0' + (c >> 6));
            out += static_cast<char>('0' + ((c >> 3) & 7));
            out += static_cast<char>('0' + (c & 7));
        } else {
            out += ch;
        }
    }
    return out;
}

int stampDate(char* buffer, size_t size) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local))
        return 1;
    if (size < 20)
        return 1;
    std::memset(buffer, 0, size);
    std::snprintf(buffer, size, "%4d/%2d/%2d %2d:%2d:%2d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return 0;
}

int SendRostoPS(PageOutput& out, const tindrel::NetAddress& address, const char* client_ip,
                const PageClaims& claims) {
    if (verbose)
        std::printf("%s: cof.template_name=[%s]\n", "SendRosto", conf.template_name.c_str());
    std::string_view ip = client_ip ? client_ip : "";

    tindrel::UniqueFile tmpl = tindrel::openFile(conf.template_name, "r");
    if (!tmpl) {
        out.template_unreadable = templateMissingIsFatal(errno);
        out.whole = false;
        std::perror("SendRostoPS/fopen: Failure openning template .ps file");
        char date[30] = {};
        stampDate(date, sizeof date);
        logPrint("Failure sending Face Page", date, ip);
        return 1;
    }
    // Copied byte for byte; a short piece (zero-length included) ends the copy.
    char piece[kTemplatePiece];
    for (;;) {
        size_t n = std::fread(piece, 1, sizeof piece, tmpl.get());
        if (sendPiece(out, std::string_view(piece, n)) != 0)
            break;
        if (n == sizeof piece)
            continue;
        // A template path naming a directory opens but cannot be read.
        if (std::ferror(tmpl.get()))
            std::perror("SendRostoPS/fread: Failure reading template .ps file");
        break;
    }
    tmpl.reset();

    char date[30] = {};
    stampDate(date, sizeof date);

    std::string host = hostNameOf(address);
    if (host.empty())
        std::perror("SendRostoPS/gethostbyaddr");

    std::string page;
    appendLine(page, "IP ADDRESS", ip);
    if (!host.empty())
        appendLine(page, "USER HOSTNAME", host);
    appendLine(page, "DATE", date);

    int pos = lookupIp(ip);
    if (pos >= 0) {
        appendLine(page, "OFFICE", userDb[pos].office);
        appendLine(page, "PHONE", userDb[pos].phone);
    }
    std::string owner = pageForm(claims.owner);
    std::string document = pageForm(claims.document);
    if (!owner.empty()) {
        appendLine(page, "JOB OWNER", owner);
        // The template shows bigname large; the owner names the job better
        // than the machine. A template without that name is not harmed.
        page += "/bigname (" + psEscape(owner) + ") def\n";
    }
    if (!document.empty())
        appendLine(page, "DOCUMENT", document);
    page += kTrailer;
    if (sendPiece(out, page) != 0) {
        logPrint("Failure sending Face Page", date, ip);
        return 1;
    }
    return logPrint("Success sending Face Page", date, ip);
}
