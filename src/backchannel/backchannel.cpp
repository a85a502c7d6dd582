#include "backchannel/backchannel.h"

#include <algorithm>
#include <cstring>

#include "common/io.h"
#include "jobheader/jobheader.h"

namespace {

constexpr std::string_view kPjl = "@PJL";
constexpr std::string_view kPostScriptOpen = "%%[";
constexpr std::string_view kPostScriptClose = "]%%";

// A PJL message begins after any of these; a PostScript message ends at them.
bool isLineEnd(char c) {
    return c == '\n' || c == '\r' || c == '\f';
}

using tindrel::equalsNoCase;
using tindrel::isBlank;
using tindrel::trimBlanks;

std::string_view word(std::string_view& rest) {
    rest = trimBlanks(rest);
    size_t n = 0;
    while (n < rest.size() && !isBlank(rest[n]))
        ++n;
    std::string_view w = rest.substr(0, n);
    rest.remove_prefix(n);
    return w;
}

std::string_view unquoted(std::string_view value) {
    value = trimBlanks(value);
    if (!value.empty() && value.front() == '"') {
        value.remove_prefix(1);
        value = value.substr(0, value.find('"'));
    }
    return value;
}

// Digits only, at most nine.
std::optional<long> number(std::string_view text) {
    return tindrel::digitsValue(text, 9);
}

std::string upperCase(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// What a PJL message is about, for the rules that keep messages back.
enum class Family { Unknown, Job, Page, Device, Info };

// A complete PJL message without its form feed. Fills `m`; `report` tells
// whether it is one of the messages reported.
Family readPjl(std::string_view text, PrinterMessage& m, bool& report) {
    size_t pos = 0;
    auto nextLine = [&](std::string_view& line) {
        while (pos < text.size() && (text[pos] == '\r' || text[pos] == '\n'))
            ++pos;
        if (pos == text.size())
            return false;
        size_t end = std::min(text.find_first_of("\r\n", pos), text.size());
        line = trimBlanks(text.substr(pos, end - pos));
        pos = end;
        return true;
    };
    std::string_view line;
    nextLine(line);
    std::string_view rest = line.substr(kPjl.size());
    std::string_view command = word(rest);
    std::string_view what = word(rest);
    Family family = Family::Unknown;
    if (equalsNoCase(command, "USTATUS")) {
        if (equalsNoCase(what, "JOB"))
            family = Family::Job;
        else if (equalsNoCase(what, "PAGE"))
            family = Family::Page;
        else if (equalsNoCase(what, "DEVICE") || equalsNoCase(what, "TIMED"))
            family = Family::Device;
    } else if (equalsNoCase(command, "INFO")) {
        family = Family::Info;
        m.name = upperCase(recordForm(what));
    }
    report = family != Family::Unknown;
    if (!report)
        return family;

    std::string answer;
    size_t answer_lines = 0;
    std::string_view bare; // the first line that is no KEY=value: JOB's event, PAGE's number
    while (nextLine(line)) {
        if (family == Family::Info) {
            answer += answer_lines++ ? " " : "";
            answer += line;
        }
        size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            if (bare.empty())
                bare = line;
            continue;
        }
        std::string_view key = trimBlanks(line.substr(0, equals));
        std::string_view value = trimBlanks(line.substr(equals + 1));
        if (family == Family::Job) {
            if (equalsNoCase(key, "NAME"))
                m.name = recordForm(unquoted(value));
            else if (equalsNoCase(key, "PAGES"))
                m.pages = number(value);
            else if (equalsNoCase(key, "RESULT"))
                m.result = upperCase(recordForm(value));
        } else if (family != Family::Page) {
            if (equalsNoCase(key, "CODE"))
                m.code = number(value);
            else if (equalsNoCase(key, "DISPLAY") && family == Family::Device)
                m.text = recordForm(unquoted(value));
            else if (equalsNoCase(key, "ONLINE") && equalsNoCase(value, "TRUE"))
                m.online = true;
            else if (equalsNoCase(key, "ONLINE") && equalsNoCase(value, "FALSE"))
                m.online = false;
        }
    }
    switch (family) {
    case Family::Job:
        report = equalsNoCase(bare, "START") || equalsNoCase(bare, "END");
        m.kind = equalsNoCase(bare, "START") ? PrinterMessage::Kind::JobStart
                                             : PrinterMessage::Kind::JobEnd;
        break;
    case Family::Page:
        m.kind = PrinterMessage::Kind::Page;
        m.page = number(bare);
        break;
    case Family::Device:
        m.kind = PrinterMessage::Kind::Device;
        break;
    default:
        m.kind = PrinterMessage::Kind::Info;
        // A single quoted line, as the model is given, without its quotes.
        m.text =
            recordForm(answer_lines == 1 && answer.starts_with('"') ? unquoted(answer)
                                                                    : std::string_view(answer));
        break;
    }
    return family;
}

bool keepsNothing(const BackChannelRules& rules) {
    return rules.own_names.empty() && !rules.keep_job && !rules.keep_page && !rules.keep_device;
}

bool keptBack(Family family, const PrinterMessage& m, const BackChannelRules& rules) {
    switch (family) {
    case Family::Job:
        return rules.keep_job ||
               std::any_of(rules.own_names.begin(), rules.own_names.end(),
                           [&](const std::string& own) { return equalsNoCase(own, m.name); });
    case Family::Page:
        return rules.keep_page;
    case Family::Device:
        return rules.keep_device;
    default:
        return false;
    }
}

// One call's view of the channel.
struct Reader {
    BackChannel& c;
    const BackChannelRules& rules;
    const bool keep; // bytes reach the client only once decided
    std::string& relay;
    std::vector<PrinterMessage>& messages;

    void hold(char ch) {
        c.held += ch;
        // Without rules that keep anything, the chunk went to the client whole.
        if (!keep)
            c.held_relayed = c.held.size();
    }
    // The first `count` held bytes go to the client (those it lacks).
    void releaseHeld(size_t count) {
        if (c.held_relayed < count)
            relay.append(c.held, c.held_relayed, count - c.held_relayed);
        c.held.erase(0, count);
        c.held_relayed -= std::min(c.held_relayed, count);
    }
    void finishPjl() {
        PrinterMessage m;
        bool report = false;
        Family family = readPjl(std::string_view(c.held).substr(0, c.held.size() - 1), m, report);
        m.kept_back = c.held_relayed == 0 && keptBack(family, m, rules);
        if (m.kept_back)
            c.held.clear();
        else
            releaseHeld(c.held.size());
        c.held_relayed = 0;
        if (report)
            messages.push_back(std::move(m));
    }
    void finishPostScript() {
        PrinterMessage m;
        m.kind = PrinterMessage::Kind::PostScript;
        std::string_view inside(c.postscript);
        m.text = recordForm(inside.substr(0, inside.size() - kPostScriptClose.size()));
        messages.push_back(std::move(m));
        c.in_postscript = false;
    }
};

} // namespace

void readBackChannel(BackChannel& c, const BackChannelRules& rules, std::string_view chunk,
                     std::string& relay, std::vector<PrinterMessage>& messages) {
    if (chunk.empty())
        return;
    Reader r{c, rules, !keepsNothing(rules), relay, messages};
    if (!r.keep) {
        // Bytes held under earlier rules go first.
        relay.append(c.held, c.held_relayed);
        c.held_relayed = c.held.size();
        relay.append(chunk);
    }
    const char* data = chunk.data();
    const size_t n = chunk.size();
    auto find = [&](char ch, size_t from) {
        const void* hit = std::memchr(data + from, ch, n - from);
        return hit ? static_cast<size_t>(static_cast<const char*>(hit) - data) : n;
    };
    // Only "@" at a line start and "%" can begin a message: the text between
    // is skipped, each found anew once passed.
    size_t at_sign = find('@', 0);
    size_t percent = find('%', 0);
    size_t text_from = 0; // the text from here on has not gone to `relay` yet
    size_t i = 0;
    while (i < n) {
        if (c.state == BackChannel::State::Pjl) {
            char ch = data[i++];
            r.hold(ch);
            if (ch == '\f') {
                r.finishPjl();
                c.state = BackChannel::State::Text;
                c.line_start = true;
                text_from = i;
            } else if (ch == 'L' && c.held.size() > 5 && isLineEnd(c.held[c.held.size() - 5]) &&
                       c.held.ends_with(kPjl)) {
                // Another message begins: the one before lacked its form feed.
                r.releaseHeld(c.held.size() - kPjl.size());
            } else if (c.held.size() == kPjlMessageMax) {
                r.releaseHeld(c.held.size());
                c.state = BackChannel::State::Text;
                c.line_start = isLineEnd(ch);
                text_from = i;
            }
            continue;
        }
        if (c.state == BackChannel::State::MaybePjl) {
            if (data[i] == kPjl[c.held.size()]) {
                r.hold(data[i++]);
                if (c.held.size() == kPjl.size())
                    c.state = BackChannel::State::Pjl;
            } else {
                // Not a message: the byte is looked at again as text.
                r.releaseHeld(c.held.size());
                c.state = BackChannel::State::Text;
                c.line_start = false;
                text_from = i;
            }
            continue;
        }
        if (c.in_postscript) {
            char ch = data[i];
            if (isLineEnd(ch)) {
                // A PostScript message stands on one line: this one is abandoned.
                c.in_postscript = false;
                continue;
            }
            c.postscript += ch;
            ++i;
            c.line_start = false;
            if (c.postscript.ends_with(kPostScriptClose))
                r.finishPostScript();
            else if (c.postscript.size() == kPostScriptMessageMax)
                c.in_postscript = false;
            continue;
        }
        if (c.ps_matched > 0) {
            char ch = data[i];
            if (ch == kPostScriptOpen[c.ps_matched]) {
                if (++c.ps_matched == kPostScriptOpen.size()) {
                    c.ps_matched = 0;
                    c.in_postscript = true;
                    c.postscript.clear();
                }
            } else if (ch != '%') {
                c.ps_matched = 0;
                continue; // looked at again as text
            }
            // "%%%" still ends in "%%".
            ++i;
            c.line_start = false;
            continue;
        }
        if (at_sign < i)
            at_sign = find('@', i);
        if (percent < i)
            percent = find('%', i);
        size_t next = std::min(at_sign, percent);
        if (next == n) {
            c.line_start = isLineEnd(data[n - 1]);
            break;
        }
        bool line_start = next == i ? c.line_start : isLineEnd(data[next - 1]);
        i = next + 1;
        c.line_start = false;
        if (data[next] == '%') {
            c.ps_matched = 1;
        } else if (line_start) {
            if (r.keep)
                relay.append(data + text_from, next - text_from);
            c.state = BackChannel::State::MaybePjl;
            r.hold('@');
        }
    }
    if (r.keep && c.state == BackChannel::State::Text)
        relay.append(data + text_from, n - text_from);
}

void endBackChannel(BackChannel& c, std::string& relay) {
    if (c.held_relayed < c.held.size())
        relay.append(c.held, c.held_relayed);
    c = BackChannel{};
}

DeviceState deviceState(long code) {
    long group = code / 1000;
    if (code < 0)
        return DeviceState::Other;
    if (group == 10)
        return DeviceState::Ready;
    if (group == 30 || group == 35)
        return DeviceState::Warning;
    if (group == 41)
        return DeviceState::PaperOut;
    if (group == 42)
        return DeviceState::Jam;
    if (group >= 40 && group <= 49)
        return DeviceState::Error;
    return DeviceState::Other;
}
