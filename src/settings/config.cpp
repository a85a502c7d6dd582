#include "settings/settings.h"

#include "common/io.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

std::string conf_path = kDefaultConfPath;

namespace {

constexpr KeyEntry row(const char* key, const char* def) {
    return KeyEntry{key, std::char_traits<char>::length(key), false, {}, 0,
                    def, std::char_traits<char>::length(def), false};
}

} // namespace

// One row a line, in table order.
// clang-format off
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
    row("accounting", ""),
    row("printer-status", "off"),
    row("metrics", ""),
    KeyEntry{nullptr, 0, false, {}, 0, nullptr, 0, false},
};
// clang-format on

void resetKeyTable() {
    for (KeyEntry* k = keyTable; k->comando; ++k) {
        k->given = false;
        k->valor.clear();
        k->tam = 0;
        k->cut = false;
    }
}

namespace {

using tindrel::isSpace;

// What the reader saw of one key row, for the warnings of an applying read.
struct RowSeen {
    int first_line = 0;
    int last_line = 0; // the line whose value the row holds
};

// Warnings change nothing: every value keeps the meaning it is read with.
class Warnings {
public:
    void add(int line, const std::string& text) {
        lines_ += "readConf: " + conf_path + " line " + std::to_string(line) + ": " + text + "\n";
    }
    void print() const { std::fputs(lines_.c_str(), stderr); }

private:
    std::string lines_;
};

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out + "\"";
}

void checkValueText(const KeyEntry& k, int line_no, Warnings& warnings) {
    std::string_view value = k.valor;
    if (value.find('#') != std::string_view::npos)
        warnings.add(line_no, std::string("the value of ") + k.comando +
                                  " contains \"#\" and keeps it: " +
                                  "a comment must stand on a line of its own");
    if (!value.empty() && value.back() == '\r')
        warnings.add(line_no, std::string("the value of ") + k.comando +
                                  " ends in a carriage return (CR LF line ends?) and keeps it");
    else if (!value.empty() && isSpace(value.back()))
        warnings.add(line_no, std::string("the value of ") + k.comando +
                                  " ends in white space and keeps it");
}

// Applies one line of the file to the key table.
void takeLine(std::string_view line, int line_no, RowSeen* seen, Warnings& warnings) {
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
    size_t word_end = 0;
    while (word_end < line.size() && line[word_end] != '=' && !isSpace(line[word_end]))
        ++word_end;
    std::string_view word = line.substr(0, word_end);
    if (!k->comando) {
        if (!word.empty())
            warnings.add(line_no, "unknown key " + quoted(word) + " is ignored");
        return;
    }
    if (word.size() != k->key_len)
        warnings.add(line_no, "key " + quoted(word) + " is read as " + k->comando);
    RowSeen& row = seen[k - keyTable];
    if (row.first_line != 0)
        warnings.add(line_no, std::string("key ") + k->comando + " is given again (first on line " +
                                  std::to_string(row.first_line) + "); this line wins");
    else
        row.first_line = line_no;

    k->valor.clear();
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        k->given = false;
        warnings.add(line_no, std::string("key ") + k->comando +
                                  " has no \"=\" and sets no value; write " + k->comando +
                                  " = value");
        return;
    }
    k->given = true;
    if (eq + 1 == line.size())
        return; // the earlier length stays

    std::string_view value = line.substr(eq + 1);
    while (!value.empty() && isSpace(value.front()))
        value.remove_prefix(1);
    // Trailing white space, a carriage return included, belongs to the value.
    k->tam = std::min(value.size(), kValueMax);
    k->valor = std::string(value.substr(0, k->tam));
    k->cut = value.size() > kValueMax;
    if (k->cut)
        warnings.add(line_no, std::string("the value of ") + k->comando + " is longer than " +
                                  std::to_string(kValueMax) + " characters and is cut to " +
                                  quoted(k->valor));
    row.last_line = line_no;
    checkValueText(*k, line_no, warnings);
}

// A number that does not read cleanly still keeps the value it reads as.
void checkNumbers(const RowSeen* seen, Warnings& warnings) {
    for (KeyRow r : {kProxyPort, kPrinterPort, kIdletime, kRetryPrinter}) {
        const KeyEntry& k = keyTable[r];
        if (k.tam == 0)
            continue; // the default is used
        std::string_view text = tindrel::trimEnd(k.valor);
        size_t digits = !text.empty() && (text.front() == '+' || text.front() == '-') ? 1 : 0;
        bool clean = digits < text.size() &&
                     text.find_first_not_of("0123456789", digits) == std::string_view::npos;
        long read_as = settingNumber(r);
        if (clean && std::strtol(k.valor.c_str(), nullptr, 10) == read_as)
            continue;
        std::string text_warning = std::string(k.comando) + " " + quoted(k.valor) +
                                   (clean ? " is out of range" : " is not a plain number") +
                                   "; read as " + std::to_string(read_as);
        if (r == kPrinterPort && read_as == 0)
            text_warning += ", which selects the device printer-dev";
        int line_no = seen[r].last_line != 0 ? seen[r].last_line : seen[r].first_line;
        warnings.add(line_no, text_warning);
    }
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
    RowSeen seen[kKeyCount] = {};
    Warnings warnings;
    int line_no = 0;
    bool line_ended = true;
    for (;;) {
        std::memset(buffer, 0, sizeof buffer);
        if (!std::fgets(buffer, static_cast<int>(kConfLineRead), file.get()))
            break;
        std::string_view piece(buffer, std::strlen(buffer));
        if (line_ended)
            ++line_no;
        line_ended = !piece.empty() && piece.back() == '\n';
        takeLine(piece, line_no, seen, warnings);
    }
    // A path naming a directory opens but cannot be read: that is no
    // configuration, not an empty one.
    if (std::ferror(file.get())) {
        if (!quiet)
            std::perror("readConf/fgets: configuration file unreadable");
        return 1;
    }
    file.reset();

    // Gathered in quiet mode too, so every line takes the same path.
    checkNumbers(seen, warnings);
    if (quiet)
        return 0;
    warnings.print();
    return 0;
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
