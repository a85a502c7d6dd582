#include "facepage/facepage.h"

#include "common/io.h"
#include "settings/settings.h"

#include <cctype>
#include <cstdio>
#include <string>

std::vector<UserRecord> userDb;

namespace {

// Reads the database text the way the pattern "%20s %10s %10s\n" reads a
// stream: each pass takes up to three tokens, cut at their widths, then
// skips the white space after them. A pass that meets the end of the text
// leaves the tokens it did not reach as they were.
class TokenReader {
public:
    explicit TokenReader(std::string text) : text_(std::move(text)) {}

    // Tokens read so far, and those cut at their width, with their lines.
    size_t tokens() const { return tokens_; }
    struct Cut {
        size_t line;
        size_t width;
    };
    const std::vector<Cut>& cuts() const { return cuts_; }

    // Set once a read has met the end of the text, like a stream's end-of-file flag.
    bool atEnd() const { return end_; }

    void pass(std::string& address, std::string& office, std::string& phone) {
        if (!token(address, kDbAddressWidth))
            return;
        if (!token(office, kDbOfficeWidth))
            return;
        if (!token(phone, kDbPhoneWidth))
            return;
        skipSpace();
    }

private:
    bool more() {
        if (pos_ < text_.size())
            return true;
        end_ = true;
        return false;
    }
    void skipSpace() {
        while (more() && tindrel::isSpace(text_[pos_]))
            ++pos_;
    }

    // False when the end of the text comes before the token: the target keeps its value.
    bool token(std::string& target, size_t width) {
        skipSpace();
        if (!more())
            return false;
        size_t start = pos_;
        while (pos_ - start < width && more() && !tindrel::isSpace(text_[pos_]))
            ++pos_;
        ++tokens_;
        if (pos_ < text_.size() && !tindrel::isSpace(text_[pos_]))
            cuts_.push_back(Cut{lineAt(start), width});
        target.assign(text_, start, pos_ - start);
        // Stored as text: a zero byte read inside a token ends it.
        if (size_t zero = target.find('\0'); zero != std::string::npos)
            target.resize(zero);
        return true;
    }

    size_t lineAt(size_t at) {
        for (; counted_ < at; ++counted_)
            if (text_[counted_] == '\n')
                ++line_;
        return line_;
    }

    std::string text_;
    size_t pos_ = 0;
    bool end_ = false;
    size_t tokens_ = 0;
    std::vector<Cut> cuts_;
    size_t counted_ = 0; // lines are counted up to here
    size_t line_ = 1;
};

// The file is read as the token stream says; these only tell where that
// puts later entries out of step.
void warnShifts(const TokenReader& reader) {
    std::string lines;
    for (const TokenReader::Cut& cut : reader.cuts())
        lines += "ReadDb: " + conf.local + " line " + std::to_string(cut.line) +
                 ": a token longer than " + std::to_string(cut.width) +
                 " characters is cut there and its rest read as the next token; later entries "
                 "shift\n";
    if (reader.tokens() % 3 != 0)
        lines += "ReadDb: " + conf.local + " holds " + std::to_string(reader.tokens()) +
                 " tokens, not a multiple of three (address, office, phone); entries shift\n";
    std::fputs(lines.c_str(), stderr);
}

} // namespace

int ReadDb() {
    if (verbose)
        std::printf("%s : conf.local=[%s]\n", "ReadDb", conf.local.c_str());
    if (conf.local.empty())
        return 1;

    tindrel::UniqueFile file = tindrel::openFile(conf.local, "r");
    if (!file) {
        std::perror("ReadDb : fopen: User DataBase not found");
        return 1;
    }
    userDb.clear();

    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
        text.append(chunk, n);
    // A path naming a directory opens but cannot be read; without this the load would never end.
    if (std::ferror(file.get())) {
        std::perror("ReadDb : read: User DataBase unreadable");
        return 1;
    }

    TokenReader reader(std::move(text));
    std::string address, office, phone;
    while (!reader.atEnd()) {
        reader.pass(address, office, phone);
        UserRecord record;
        record.index = static_cast<int32_t>(userDb.size() + 1);
        record.ip_address = address;
        record.office = office;
        record.phone = phone;
        userDb.push_back(std::move(record));
    }
    warnShifts(reader);
    return 0;
}

int lookupIp(std::string_view client_ip) {
    tindrel::NetAddress client;
    bool client_is_address = tindrel::parseAddress(client_ip, client);
    for (size_t i = 0; i < userDb.size() && userDb[i].index != 0; ++i) {
        if (userDb[i].ip_address == client_ip)
            return static_cast<int>(i);
        tindrel::NetAddress listed;
        if (client_is_address && tindrel::parseAddress(userDb[i].ip_address, listed) &&
            tindrel::sameAddress(client, listed))
            return static_cast<int>(i);
    }
    return -1;
}
