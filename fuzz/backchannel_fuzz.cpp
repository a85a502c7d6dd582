// Back channel: any bytes from a printer. Whole or split, the client gets
// the same bytes and the same messages are found; with rules that keep
// nothing back the client gets every byte; nothing is added, what is held
// stays bounded and every reported text is clean.
// Input: one byte that picks the rules and where the bytes are split, then
// the printer's bytes.
#include "fuzz_support.h"

#include "backchannel/backchannel.h"
#include "jobheader/jobheader.h"

#include <vector>

namespace {

bool sameMessage(const PrinterMessage& a, const PrinterMessage& b, bool with_kept) {
    return a.kind == b.kind && a.name == b.name && a.page == b.page && a.pages == b.pages &&
           a.result == b.result && a.code == b.code && a.online == b.online && a.text == b.text &&
           (!with_kept || a.kept_back == b.kept_back);
}

bool sameMessages(const std::vector<PrinterMessage>& a, const std::vector<PrinterMessage>& b,
                  bool with_kept) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!sameMessage(a[i], b[i], with_kept))
            return false;
    return true;
}

void checkText(const std::string& text) {
    fuzz::check(validUtf8(text), "reported text is not UTF-8");
    fuzz::check(cutCharacters(text, kRecordValueMax) == text, "reported text too long");
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        fuzz::check(c >= 0x20 && c != 0x7F, "control byte in a reported text");
    }
}

// Feeds the bytes in pieces of `step` (all at once when 0), checking the
// bounds after each; returns the relay.
std::string feed(std::string_view bytes, const BackChannelRules& rules, size_t step,
                 std::vector<PrinterMessage>& messages) {
    BackChannel channel;
    std::string relay;
    for (size_t i = 0; i < bytes.size(); i += step ? step : bytes.size()) {
        size_t n = step ? step : bytes.size();
        readBackChannel(channel, rules, bytes.substr(i, n), relay, messages);
        fuzz::check(relay.size() <= std::min(bytes.size(), i + n), "relay grew");
        fuzz::check(!rules.own_names.empty() || rules.keep_job || rules.keep_page ||
                        rules.keep_device || relay.size() == std::min(bytes.size(), i + n),
                    "relay without rules held bytes back");
        fuzz::check(channel.held.size() <= kPjlMessageMax, "held more than a message");
        fuzz::check(channel.postscript.size() <= kPostScriptMessageMax,
                    "held more than a PostScript message");
    }
    endBackChannel(channel, relay);
    fuzz::check(channel.held.empty(), "held bytes left at the end");
    return relay;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t pick = data[0];
    std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    BackChannelRules rules;
    if (pick & 1)
        rules.own_names = {"tindrel 1", "tindrel 1 face page"};
    rules.keep_job = pick & 2;
    rules.keep_page = pick & 4;
    rules.keep_device = pick & 8;
    const size_t step = 1 + (pick >> 4);

    std::vector<PrinterMessage> whole_messages;
    std::string whole = feed(bytes, rules, 0, whole_messages);
    std::vector<PrinterMessage> split_messages;
    std::string split = feed(bytes, rules, step, split_messages);
    fuzz::check(whole == split, "relay differs on split bytes");
    fuzz::check(sameMessages(whole_messages, split_messages, true),
                "messages differ on split bytes");

    std::vector<PrinterMessage> observed;
    fuzz::check(feed(bytes, BackChannelRules{}, step, observed) == bytes,
                "relay without rules is not the input");
    fuzz::check(sameMessages(whole_messages, observed, false), "messages differ without rules");
    for (const PrinterMessage& m : whole_messages) {
        checkText(m.name);
        checkText(m.result);
        checkText(m.text);
    }
    return 0;
}
