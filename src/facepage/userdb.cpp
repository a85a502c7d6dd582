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
        target.assign(text_, start, pos_ - start);
        // Stored as text: a zero byte read inside a token ends it.
        if (size_t zero = target.find('\0'); zero != std::string::npos)
            target.resize(zero);
        return true;
    }

    std::string text_;
    size_t pos_ = 0;
    bool end_ = false;
};

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
