// PostScript escaping: the escaped text of any value is printable ASCII,
// holds no parenthesis or backslash that a PostScript string would take as
// syntax, and a PostScript reader gets the value back from it.
#include "fuzz_support.h"

#include "facepage/facepage.h"

namespace {

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

// Reads the body of a PostScript string literal the way the language
// defines it: a backslash escapes \ ( ) n r t b f, one to three octal digits
// give a byte, a backslash before a newline continues the line, and a
// backslash before anything else is dropped. An unescaped parenthesis or a
// final lone backslash would end or break the literal.
bool unescape(std::string_view text, std::string& out) {
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '(' || c == ')')
            return false;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == text.size())
            return false;
        char e = text[i];
        if (isOctal(e)) {
            int v = 0;
            size_t digits = 0;
            while (digits < 3 && i < text.size() && isOctal(text[i])) {
                v = v * 8 + (text[i] - '0');
                ++i;
                ++digits;
            }
            --i;
            out += static_cast<char>(v & 0xFF);
            continue;
        }
        switch (e) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case '\\':
        case '(':
        case ')':
            out += e;
            break;
        case '\n':
            break;
        default:
            out += e;
            break;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view value(reinterpret_cast<const char*>(data), size);
    std::string escaped = psEscape(value);
    for (char c : escaped) {
        auto b = static_cast<unsigned char>(c);
        fuzz::check(b >= 0x20 && b <= 0x7E, "byte outside printable ASCII");
    }
    std::string back;
    fuzz::check(unescape(escaped, back), "unescaped parenthesis or trailing backslash");
    fuzz::check(back == value, "PostScript reads back another value");
    // Each byte becomes at most a backslash and three octal digits.
    fuzz::check(escaped.size() <= 4 * value.size(), "escaped text more than four times longer");
    return 0;
}
