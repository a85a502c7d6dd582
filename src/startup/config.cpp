#include "startup/startup.h"

#include "common/io.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>

std::string conf_path = kDefaultConfPath;

namespace {

constexpr KeyEntry row(const char* key, const char* def) {
    return KeyEntry{key, std::char_traits<char>::length(key), false, {}, 0,
                    def, std::char_traits<char>::length(def)};
}

} // namespace

KeyEntry keyTable[kKeyCount + 1] = {
    row("user", "tindrelusr"),
    row("working-dir", "/var/lib/tindrel"),
    row("template-name", "tindrel.ps"),
    row("template-type", "ps"),
    row("logfile", "tindrel.log"),
    row("ip-location", "tindrel.db"),
    row("proxy-port", "9100"),
    row("proxy-ip", "0.0.0.0"),
    row("printer-port", "9100"),
    row("printer-ip", "127.0.0.1"),
    row("printer-dev", "/dev/lp0"),
    row("idletime", "90"),
    row("retry-printer", "3"),
    KeyEntry{nullptr, 0, false, {}, 0, nullptr, 0},
};

void resetKeyTable() {
    for (KeyEntry* k = keyTable; k->comando; ++k) {
        k->given = false;
        k->valor.clear();
        k->tam = 0;
    }
}

namespace {

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Applies one line of the file to the key table.
void takeLine(std::string_view line) {
    size_t start = 0;
    while (start < line.size() && isSpace(line[start]))
        ++start;
    line.remove_prefix(start);
    if (!line.empty() && line.front() == '#')
        return;
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);

    // Prefix match without regard to case: "username" sets user too.
    KeyEntry* k = keyTable;
    for (; k->comando; ++k) {
        if (line.size() >= k->key_len && strncasecmp(line.data(), k->comando, k->key_len) == 0)
            break;
    }
    if (!k->comando)
        return;

    k->valor.clear();
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        k->given = false;
        return;
    }
    k->given = true;
    if (eq + 1 == line.size())
        return;  // the earlier length stays

    std::string_view value = line.substr(eq + 1);
    while (!value.empty() && isSpace(value.front()))
        value.remove_prefix(1);
    // Trailing white space, a carriage return included, belongs to the value.
    k->tam = std::min(value.size(), kValueMax);
    k->valor = std::string(value.substr(0, k->tam));
}

} // namespace

int readConf(bool quiet) {
    if (verbose)
        std::printf("readConf : configuration file = [%s]\n", conf_path.c_str());

    tindrel::UniqueFile file = tindrel::openFile(conf_path, "r");
    if (!file) {
        if (!quiet)
            std::perror("readConf/fopen: configuration file not found");
        return 1;
    }

    // Reads of kConfLineRead bytes: a longer line arrives as several pieces,
    // each taken as a line of its own.
    char buffer[1024];
    for (;;) {
        std::memset(buffer, 0, sizeof buffer);
        if (!std::fgets(buffer, static_cast<int>(kConfLineRead), file.get()))
            break;
        takeLine(std::string_view(buffer, std::strlen(buffer)));
    }
    // A path naming a directory opens but cannot be read: that is no
    // configuration, not an empty one.
    if (std::ferror(file.get())) {
        if (!quiet)
            std::perror("readConf/fgets: configuration file unreadable");
        return 1;
    }
    file.reset();

    if (quiet)
        return 0;
    return applyConf();
}

int showConf(bool show_defaults) {
    std::string out = "#\n# Tindrel Configuration Parameters\n";
    out += "# version: ";
    out += kVersion;
    out += "\n# By Ansel Pirrow - KORVA - BR\n#\n";
    out += "# " + tindrel::ctimeNow() + "\n";
    for (const KeyEntry* k = keyTable; k->comando; ++k) {
        out += k->comando;
        out += " = ";
        out += show_defaults ? std::string(k->default_value) : k->valor;
        out += '\n';
    }
    out += "#\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
