#include "jobheader/jobheader.h"

#include "common/io.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

using tindrel::equalsNoCase;
using tindrel::isBlank;
using tindrel::startsWithNoCase;
using tindrel::trimBlanks;

// One line from `pos`: it ends in LF, CR LF or a lone CR. `complete` is
// false when the bytes end before the line does.
struct Line {
    std::string_view text; // without its line end
    size_t next = 0;
    bool complete = false;
};

Line lineAt(std::string_view s, size_t pos) {
    Line line;
    size_t end = pos;
    while (end < s.size() && s[end] != '\n' && s[end] != '\r')
        ++end;
    line.text = s.substr(pos, end - pos);
    if (end == s.size()) {
        line.next = end;
        return line;
    }
    line.complete = true;
    line.next = end + 1;
    if (s[end] == '\r' && line.next < s.size() && s[line.next] == '\n')
        ++line.next;
    return line;
}

// The first found value of each source, in the order the sources rank.
struct Candidates {
    std::optional<std::string> user[5];
    std::optional<std::string> document[4];
    std::optional<std::string> entered_language;
    std::optional<std::string> first_bytes_language;
    std::optional<long> pages;
    bool pages_at_end = false;
    std::optional<long> dsc_copies, pjl_qty, pjl_copies;
    bool in_requirements = false; // so that "%%+" continues %%Requirements
    bool ustatus_job = false, ustatus_page = false, ustatus_device = false, ustatus_timed = false;
};

void offer(std::optional<std::string>& slot, std::string_view value) {
    if (!slot && !value.empty())
        slot = std::string(value);
}

// Reads a word: up to a blank, a tab or "=".
std::string_view word(std::string_view& rest) {
    rest = trimBlanks(rest);
    size_t n = 0;
    while (n < rest.size() && !isBlank(rest[n]) && rest[n] != '=')
        ++n;
    std::string_view w = rest.substr(0, n);
    rest.remove_prefix(n);
    return w;
}

// "= value" with blanks or tabs around "=": a quoted value runs to its
// closing quote, a bare one to a blank (or to the line end when `whole`).
std::optional<std::string_view> assigned(std::string_view& rest, bool whole) {
    rest = trimBlanks(rest);
    if (rest.empty() || rest.front() != '=')
        return std::nullopt;
    rest.remove_prefix(1);
    rest = trimBlanks(rest);
    if (!rest.empty() && rest.front() == '"') {
        size_t close = rest.find('"', 1);
        std::string_view v =
            rest.substr(1, close == std::string_view::npos ? rest.npos : close - 1);
        rest.remove_prefix(close == std::string_view::npos ? rest.size() : close + 1);
        return v;
    }
    size_t n = whole ? rest.size() : 0;
    while (!whole && n < rest.size() && !isBlank(rest[n]))
        ++n;
    std::string_view v = trimBlanks(rest.substr(0, n));
    rest.remove_prefix(n);
    return v;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A count of copies: digits only, 1..kCopiesMax.
std::optional<long> copiesValue(std::string_view text) {
    std::optional<long> n = tindrel::digitsValue(text, 5);
    if (!n || *n < 1 || *n > kCopiesMax)
        return std::nullopt;
    return n;
}

// "@PJL USTATUS JOB=ON" and the like. Values a printer would refuse change nothing.
void readUstatus(std::string_view rest, Candidates& c) {
    std::string_view what = word(rest);
    std::optional<std::string_view> v = assigned(rest, false);
    if (!v)
        return;
    if (equalsNoCase(what, "TIMED")) {
        // Every n seconds; 0 turns it off.
        if (!v->empty() && v->size() <= 6 && std::all_of(v->begin(), v->end(), isDigit))
            c.ustatus_timed = v->find_first_not_of('0') != std::string_view::npos;
        return;
    }
    bool on =
        equalsNoCase(*v, "ON") || (equalsNoCase(what, "DEVICE") && equalsNoCase(*v, "VERBOSE"));
    if (!on && !equalsNoCase(*v, "OFF"))
        return;
    if (equalsNoCase(what, "JOB"))
        c.ustatus_job = on;
    else if (equalsNoCase(what, "PAGE"))
        c.ustatus_page = on;
    else if (equalsNoCase(what, "DEVICE"))
        c.ustatus_device = on;
}

std::optional<std::string> languageNamed(std::string_view name) {
    if (equalsNoCase(name, "POSTSCRIPT"))
        return "postscript";
    if (equalsNoCase(name, "PDF"))
        return "pdf";
    if (equalsNoCase(name, "PCL"))
        return "pcl";
    if (equalsNoCase(name, "PCLXL"))
        return "pcl-xl";
    return std::nullopt;
}

// COMMENT "Username: wiwang; App Filename: paper.pdf; ..."
void readPjlComment(std::string_view rest, Candidates& c) {
    rest = trimBlanks(rest);
    if (!rest.empty() && rest.front() == '"') {
        rest.remove_prefix(1);
        rest = rest.substr(0, rest.find('"'));
    }
    while (!rest.empty()) {
        size_t semi = rest.find(';');
        std::string_view part = trimBlanks(rest.substr(0, semi));
        rest.remove_prefix(semi == std::string_view::npos ? rest.size() : semi + 1);
        if (startsWithNoCase(part, "Username:"))
            offer(c.user[3], trimBlanks(part.substr(9)));
        else if (startsWithNoCase(part, "App Filename:"))
            offer(c.document[2], trimBlanks(part.substr(13)));
    }
}

// One line after "@PJL".
void readPjl(std::string_view rest, Candidates& c) {
    std::string_view command = word(rest);
    if (equalsNoCase(command, "JOB")) {
        while (!trimBlanks(rest).empty()) {
            std::string_view option = word(rest);
            std::optional<std::string_view> v = assigned(rest, false);
            if (option.empty() && !v)
                break;
            if (v && equalsNoCase(option, "NAME"))
                offer(c.document[0], *v);
        }
    } else if (equalsNoCase(command, "SET")) {
        std::string_view variable = word(rest);
        std::optional<std::string_view> v = assigned(rest, true);
        if (!v)
            return;
        if (equalsNoCase(variable, "USERNAME")) {
            offer(c.user[0], *v);
        } else if (equalsNoCase(variable, "JOBATTR")) {
            for (std::string_view key : {"JobAcct1=", "@JOAU="})
                if (startsWithNoCase(*v, key))
                    offer(c.user[1], v->substr(key.size()));
        } else if (equalsNoCase(variable, "USERID") || equalsNoCase(variable, "HOSTLOGINNAME")) {
            offer(c.user[2], *v);
        } else if (equalsNoCase(variable, "JOBNAME")) {
            offer(c.document[1], *v);
        } else if (equalsNoCase(variable, "QTY") || equalsNoCase(variable, "COPIES")) {
            // A later SET overrides an earlier one, as on the printer.
            if (std::optional<long> n = copiesValue(*v))
                (equalsNoCase(variable, "QTY") ? c.pjl_qty : c.pjl_copies) = n;
        }
    } else if (equalsNoCase(command, "COMMENT")) {
        readPjlComment(rest, c);
    } else if (equalsNoCase(command, "USTATUS")) {
        readUstatus(rest, c);
    } else if (equalsNoCase(command, "USTATUSOFF")) {
        c.ustatus_job = c.ustatus_page = c.ustatus_device = c.ustatus_timed = false;
    } else if (equalsNoCase(command, "ENTER") && equalsNoCase(word(rest), "LANGUAGE")) {
        if (std::optional<std::string_view> v = assigned(rest, false); v && !c.entered_language)
            c.entered_language = languageNamed(*v);
    }
}

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

// A PostScript string "( ... )": balanced parentheses, and the escapes
// \ooo, \(, \), \\, \n, \r, \t, \b, \f. An unclosed string gives what it holds.
std::string decodePsString(std::string_view s) {
    std::string out;
    int depth = 0;
    for (size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (depth-- == 0)
                break;
        } else if (c == '\\' && i + 1 < s.size()) {
            char e = s[++i];
            if (isOctal(e)) {
                int v = 0;
                for (int n = 0; n < 3 && i < s.size() && isOctal(s[i]); ++n, ++i)
                    v = v * 8 + (s[i] - '0');
                --i;
                out += static_cast<char>(v & 0xFF);
                continue;
            }
            const char* from = "nrtbf";
            const char* to = "\n\r\t\b\f";
            const char* hit = std::strchr(from, e);
            out += hit && e ? to[hit - from] : e;
            continue;
        }
        out += c;
    }
    return out;
}

std::optional<std::string> dscValue(std::string_view rest) {
    rest = trimBlanks(rest);
    if (rest.empty() || rest == "(atend)")
        return std::nullopt;
    if (rest.front() == '(')
        return decodePsString(rest);
    return std::string(rest);
}

// "%%Pages: 3" or "%%Pages: 3 1" gives 3; "(atend)" or no digits give nothing.
std::optional<long> pagesValue(std::string_view rest) {
    rest = trimBlanks(rest);
    long n = 0;
    size_t digits = 0;
    while (digits < rest.size() && digits < 12 && isDigit(rest[digits]))
        n = n * 10 + (rest[digits++] - '0');
    if (digits == 0)
        return std::nullopt;
    return n;
}

// "%%Requirements: duplex numcopies(2) collate"
std::optional<long> numcopies(std::string_view rest) {
    size_t at = rest.find("numcopies(");
    if (at == std::string_view::npos)
        return std::nullopt;
    rest.remove_prefix(at + 10);
    return copiesValue(rest.substr(0, rest.find(')')));
}

void readDscLine(std::string_view line, Candidates& c, bool first) {
    if (first && line.starts_with("%!"))
        c.first_bytes_language = "postscript";
    bool requirements = line.starts_with("%%Requirements:");
    if (requirements || (c.in_requirements && line.starts_with("%%+")))
        if (!c.dsc_copies)
            c.dsc_copies = numcopies(line.substr(requirements ? 15 : 3));
    c.in_requirements = requirements || (c.in_requirements && line.starts_with("%%+"));
    if (line.starts_with("%%For:")) {
        if (!c.user[4])
            if (auto v = dscValue(line.substr(6)); v && !v->empty())
                c.user[4] = *v;
    } else if (line.starts_with("%%Title:")) {
        if (!c.document[3])
            if (auto v = dscValue(line.substr(8)); v && !v->empty())
                c.document[3] = *v;
    } else if (line.starts_with("%%Pages:") && !c.pages && !c.pages_at_end) {
        c.pages = pagesValue(line.substr(8));
        c.pages_at_end = !c.pages && trimBlanks(line.substr(8)) == "(atend)";
    }
}

// Walks the header lines of `s`; returns whether the header ended within
// them. Fills `c` as it goes.
bool walkHeader(std::string_view s, Candidates& c) {
    size_t pos = 0;
    bool first = true; // no byte past UEL and PJL seen yet
    for (;;) {
        std::string_view rest = s.substr(pos);
        if (rest.empty())
            return false;
        if (rest.starts_with(kUel)) {
            pos += kUel.size();
            continue;
        }
        if (first && (rest.front() == '\x04' || isBlank(rest.front()))) {
            ++pos;
            continue;
        }
        if (kUel.starts_with(rest) || std::string_view("@PJL").starts_with(rest))
            return false;
        if (rest.front() == '\n' || rest.front() == '\r') {
            ++pos;
            continue;
        }
        if (rest.starts_with("@PJL")) {
            Line line = lineAt(s, pos);
            if (!line.complete)
                return false;
            readPjl(line.text.substr(4), c);
            pos = line.next;
            continue;
        }
        if (rest.starts_with("%PDF")) {
            if (first)
                c.first_bytes_language = "pdf";
            return true;
        }
        if (rest.front() == '%') {
            Line line = lineAt(s, pos);
            if (line.text.starts_with("%%EndComments"))
                return true;
            if (!line.complete)
                return false;
            readDscLine(line.text, c, first);
            first = false;
            pos = line.next;
            continue;
        }
        if (first && rest.front() == '\x1b')
            c.first_bytes_language = "pcl";
        else if (first && rest.starts_with(") HP-PCL XL"))
            c.first_bytes_language = "pcl-xl";
        return true;
    }
}

} // namespace

bool headerEnded(std::string_view start) {
    Candidates c;
    return walkHeader(start, c);
}

JobHeader parseJobHeader(std::string_view start) {
    Candidates c;
    walkHeader(start, c);
    JobHeader h;
    for (auto& u : c.user)
        if (!h.user && u)
            h.user = std::move(u);
    for (auto& d : c.document)
        if (!h.document && d)
            h.document = std::move(d);
    h.pages = c.pages;
    h.pages_at_end = c.pages_at_end;
    h.language = c.entered_language ? c.entered_language : c.first_bytes_language;
    PagesScanner program;
    scanPages(program, start);
    for (const std::optional<long>& n : {program.copies, c.dsc_copies, c.pjl_qty, c.pjl_copies})
        if (!h.copies)
            h.copies = n;
    h.ustatus_job = c.ustatus_job;
    h.ustatus_page = c.ustatus_page;
    h.ustatus_device = c.ustatus_device || c.ustatus_timed;
    return h;
}

namespace {

bool isPostScriptDelimiter(char c) {
    return std::strchr(" \t\f()<>[]{}/%", c) != nullptr;
}

// What follows "/#" in "/#copies 2 def": the copies a PostScript program
// asks for.
std::optional<long> copiesDefined(std::string_view text) {
    if (!text.starts_with("copies") || text.size() < 7 || !isBlank(text[6]))
        return std::nullopt;
    text = trimBlanks(text.substr(6));
    size_t digits = 0;
    while (digits < text.size() && isDigit(text[digits]))
        ++digits;
    std::optional<long> n = copiesValue(text.substr(0, digits));
    text.remove_prefix(digits);
    if (text.empty() || !isBlank(text.front()))
        return std::nullopt;
    text = trimBlanks(text);
    // "def" at the end of the bytes kept, or followed by what ends a name.
    if (!text.starts_with("def") || (text.size() > 3 && !isPostScriptDelimiter(text[3])))
        return std::nullopt;
    return n;
}

void endOfScannedLine(PagesScanner& s) {
    std::string_view line(s.line, s.line_len);
    s.collecting = false;
    if (line.starts_with("/#")) {
        if (std::optional<long> n = copiesDefined(line.substr(2)); n && s.depth == 0)
            s.copies = n;
    } else if (s.depth == 0 && (line == "%!" || line.starts_with("%!PS"))) {
        s.in_setup = true;
    } else if (s.depth == 0 && line.starts_with("%%Page:")) {
        s.in_setup = false;
    } else if (line.starts_with("%%BeginDocument")) {
        ++s.depth;
    } else if (line.starts_with("%%EndDocument")) {
        if (s.depth > 0)
            --s.depth;
    } else if (line.starts_with("%%Pages:") && s.depth == 0) {
        if (std::optional<long> n = pagesValue(line.substr(8)))
            s.pages = n;
    }
}

bool isLineEnd(char c) {
    return c == '\n' || c == '\r';
}

// Whether the mark at `at` begins something worth a look: a "%" at a line
// start (some drivers send Ctrl-D before "%!"), or a "#" after "/".
bool beginsLine(const char* data, size_t at, char last) {
    const char before = at == 0 ? last : data[at - 1];
    return data[at] == '%' ? isLineEnd(before) || before == '\x04' : before == '/';
}

// The first mark at or after `from` that begins something worth a look:
// "%", or also "#" in the setup; `size` when none. Every byte of a job
// passes here: sixteen are looked at at once, each with the byte before it,
// where the machine can.
size_t nextStart(const char* data, size_t size, size_t from, bool hashes, char last) {
    auto marks = [&](size_t at) {
        return (data[at] == '%' || (hashes && data[at] == '#')) && beginsLine(data, at, last);
    };
#ifdef __SSE2__
    if (from == 0 && size > 0) {
        if (marks(0))
            return 0;
        from = 1;
    }
    const __m128i percent = _mm_set1_epi8('%');
    const __m128i hash = _mm_set1_epi8('#');
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i hash_on = hashes ? _mm_set1_epi8(-1) : _mm_setzero_si128();
    for (; from + 16 <= size; from += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from - 1));
        const __m128i line_start =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(before, _mm_set1_epi8('\n')),
                                      _mm_cmpeq_epi8(before, _mm_set1_epi8('\r'))),
                         _mm_cmpeq_epi8(before, _mm_set1_epi8('\x04')));
        const __m128i found =
            _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(block, percent), line_start),
                         _mm_and_si128(hash_on, _mm_and_si128(_mm_cmpeq_epi8(block, hash),
                                                              _mm_cmpeq_epi8(before, slash))));
        if (const int mask = _mm_movemask_epi8(found))
            return from + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    for (; from < size; ++from)
        if (marks(from))
            return from;
    return size;
}

} // namespace

// Only a "%" at a line start, or a "#" after "/" in the setup, begins
// something worth a look; the bytes between are skipped.
void scanPages(PagesScanner& s, std::string_view chunk) {
    if (chunk.empty())
        return;
    const char* data = chunk.data();
    size_t i = 0;
    while (i < chunk.size()) {
        if (s.collecting) {
            char c = data[i++];
            if (isLineEnd(c)) {
                endOfScannedLine(s);
                continue;
            }
            s.line[s.line_len++] = c;
            // The words looked for are all within the bytes kept.
            if (s.line_len == PagesScanner::kLineKept)
                endOfScannedLine(s);
            continue;
        }
        const size_t at = nextStart(data, chunk.size(), i, s.in_setup, s.last);
        if (at == chunk.size())
            break;
        i = at + 1;
        s.collecting = true;
        s.line[0] = data[at] == '%' ? '%' : '/';
        s.line[1] = '#';
        s.line_len = data[at] == '%' ? 1 : 2;
    }
    s.last = chunk.back();
}

std::optional<long> jobPages(const JobHeader& header, const PagesScanner& scanner) {
    if (header.pages)
        return header.pages;
    if (header.pages_at_end)
        return scanner.pages;
    return std::nullopt;
}

std::optional<long> jobCopies(const JobHeader& header, const PagesScanner& scanner) {
    return scanner.copies ? scanner.copies : header.copies;
}

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when there is none.
size_t utf8Length(std::string_view s, size_t i) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    if (c < 0x80)
        return 1;
    size_t n;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0)
            lo = 0xA0; // no overlong forms
        if (c == 0xED)
            hi = 0x9F; // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0)
            lo = 0x90;
        if (c == 0xF4)
            hi = 0x8F; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    if (b(i + 1) < lo || b(i + 1) > hi)
        return 0;
    for (size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF)
            return 0;
    return n;
}

uint32_t decodeAt(std::string_view s, size_t i, size_t n) {
    auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(s[k])); };
    if (n == 1)
        return b(i);
    uint32_t cp = b(i) & (0x7F >> n);
    for (size_t k = 1; k < n; ++k)
        cp = (cp << 6) | (b(i + k) & 0x3F);
    return cp;
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

} // namespace

bool validUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        size_t n = utf8Length(text, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string cleanValue(std::string_view raw) {
    bool utf8 = validUtf8(raw);
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size();) {
        size_t n = utf8 ? utf8Length(raw, i) : 1;
        uint32_t cp = utf8 ? decodeAt(raw, i, n) : static_cast<unsigned char>(raw[i]);
        i += n;
        if (cp == '\t' || cp == '\n' || cp == '\r' || cp == '\v' || cp == '\f') {
            out += ' ';
            continue;
        }
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F))
            continue;
        appendUtf8(out, cp);
    }
    std::string_view kept = trimBlanks(out);
    return std::string(kept);
}

std::string cutCharacters(std::string_view utf8, size_t count) {
    size_t i = 0;
    for (size_t chars = 0; i < utf8.size() && chars < count; ++chars) {
        size_t n = utf8Length(utf8, i);
        i += n ? n : 1;
    }
    return std::string(utf8.substr(0, i));
}

namespace {

// Cut, then without the blanks the cut may have left at the end, so that a
// value cleaned twice stays the same.
std::string cleanAndCut(std::string_view raw, size_t count) {
    std::string text = cutCharacters(cleanValue(raw), count);
    text.resize(trimBlanks(text).size());
    return text;
}

} // namespace

std::string pageForm(std::string_view raw) {
    std::string text = cleanAndCut(raw, kPageValueMax);
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t n = utf8Length(text, i);
        uint32_t cp = decodeAt(text, i, n);
        i += n;
        out += cp <= 0xFF ? static_cast<char>(cp) : '?';
    }
    return out;
}

std::string recordForm(std::string_view raw) {
    return cleanAndCut(raw, kRecordValueMax);
}
