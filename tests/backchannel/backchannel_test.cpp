#include "backchannel/backchannel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// "*" for a message kept back, its kind (a device's with the state its code
// says), then the fields it has.
std::string describe(const PrinterMessage& m) {
    const char* kinds[] = {"start", "end", "page", "device", "info", "ps"};
    const char* states[] = {":ready", ":warning", ":paper-out", ":jam", ":error", ":other"};
    std::string d = std::string(m.kept_back ? "*" : "") + kinds[static_cast<int>(m.kind)];
    if (m.kind == PrinterMessage::Kind::Device && m.code)
        d += states[static_cast<int>(deviceState(*m.code))];
    for (const std::string& text : {m.name, m.result, m.text})
        d += text.empty() ? "" : " " + text;
    for (const std::optional<long>& n : {m.page, m.pages, m.code})
        d += n ? " " + std::to_string(*n) : "";
    return d + (m.online ? (*m.online ? " online" : " offline") : "");
}

// Feeds `input` in pieces cut at `cuts`; returns the relay, fills `seen`.
std::string feed(const std::string& input, const BackChannelRules& rules,
                 const std::vector<size_t>& cuts, std::vector<std::string>& seen) {
    BackChannel channel;
    std::string relay;
    std::vector<PrinterMessage> messages;
    size_t from = 0;
    for (size_t cut : cuts) {
        readBackChannel(channel, rules, std::string_view(input).substr(from, cut - from), relay,
                        messages);
        from = cut;
    }
    endBackChannel(channel, relay);
    seen.clear();
    for (const PrinterMessage& m : messages)
        seen.push_back(describe(m));
    return relay;
}

struct ChannelCase {
    const char* name;
    std::string input;
    BackChannelRules rules;
    std::string relay; // what the client gets; empty: the whole input
    std::vector<std::string> messages;
};

const std::string kBig = "@PJL USTATUS DEVICE\r\n" + std::string(5000, 'A') + "\f";

const ChannelCase kCases[] = {
    {"own job names kept back, the client's relayed",
     "@PJL USTATUS JOB\r\nSTART\r\nNAME=\"tindrel 7 face page\"\r\n\f@PJL USTATUS JOB\r\nSTART\r\n"
     "NAME=\"report.doc\"\r\n\fok\r\n@PJL USTATUS JOB\r\nEND\r\nNAME=\"TINDREL 7\"\r\nPAGES=2\r\n"
     "RESULT=user_canceled\r\n\f",
     {.own_names = {"tindrel 7", "tindrel 7 face page"}},
     "@PJL USTATUS JOB\r\nSTART\r\nNAME=\"report.doc\"\r\n\fok\r\n",
     {"*start tindrel 7 face page", "start report.doc", "*end TINDREL 7 USER_CANCELED 2"}},
    {"page kept, device relayed, hostile display cleaned",
     "@PJL USTATUS PAGE\n7\n\f@PJL USTATUS DEVICE\nCODE=41213\nDISPLAY=\"LOAD\x1b[2J TRAY 2\xff\"\n"
     "ONLINE=FALSE\n\f@PJL USTATUS TIMED\r\nCODE=10001\r\n\f",
     {.keep_page = true},
     "@PJL USTATUS DEVICE\nCODE=41213\nDISPLAY=\"LOAD\x1b[2J TRAY 2\xff\"\nONLINE=FALSE\n\f"
     "@PJL USTATUS TIMED\r\nCODE=10001\r\n\f",
     {"*page 7", "device:paper-out LOAD[2J TRAY 2\xc3\xbf 41213 offline", "device:ready 10001"}},
    {"answers, unknown PJL and PostScript messages always pass",
     "@PJL INFO ID\r\n\"HP LASERJET 4000\"\r\n\f@PJL ECHO hi\r\n\f%%[ Error: undefined; "
     "OffendingCommand: foo ]%%\r\n%%[ PrinterError: out of paper ]%%\r\n",
     {.keep_job = true, .keep_page = true, .keep_device = true},
     "",
     {"info ID HP LASERJET 4000", "ps Error: undefined; OffendingCommand: foo",
      "ps PrinterError: out of paper"}},
    {"near misses",
     "x@PJL USTATUS PAGE\r\n1\r\n\f@PJ\r\n@@PJL USTATUS PAGE\r\n2\r\n\f%%%[ Flushing: rest ]%%"
     "%%[ never closed\r\n]%%\f%[ no ]%%",
     {.keep_page = true},
     "",
     {"ps Flushing: rest"}},
    {"a message without form feed, an oversize one, an unfinished one",
     "@PJL USTATUS DEVICE\r\nCODE=1\r\n@PJL USTATUS DEVICE\r\nCODE=40000\r\n\f" + kBig +
         "\n@PJL USTATUS DEVICE\r\nCODE=42000\r\n\f@PJL USTATUS DEVICE\r\nCODE=",
     {.keep_device = true},
     "@PJL USTATUS DEVICE\r\nCODE=1\r\n" + kBig + "\n@PJL USTATUS DEVICE\r\nCODE=",
     {"*device:error 40000", "*device:jam 42000"}},
};

// Every case cut at every byte into two (the last cut: whole), and byte by byte: the same
// relay and messages. Without rules that keep anything the relay is the input.
TEST(BackChannelTable, SameResultHoweverSplit) {
    for (const ChannelCase& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string& expected = c.relay.empty() ? c.input : c.relay;
        const size_t n = c.input.size();
        std::vector<std::string> seen;
        std::vector<size_t> bytes;
        for (size_t k = 1; k <= n; ++k) {
            bytes.push_back(k);
            ASSERT_EQ(feed(c.input, c.rules, {k, n}, seen), expected) << "cut at " << k;
            ASSERT_EQ(seen, c.messages) << "cut at " << k;
        }
        EXPECT_EQ(feed(c.input, c.rules, bytes, seen), expected);
        EXPECT_EQ(seen, c.messages);

        std::vector<std::string> observed = c.messages;
        for (std::string& m : observed)
            m.erase(0, m.starts_with('*'));
        EXPECT_EQ(feed(c.input, {}, {n / 2, n}, seen), c.input);
        EXPECT_EQ(seen, observed);
    }
}

// A message some bytes of which the client already has is never cut short.
TEST(BackChannelRules, ChangingMidMessageKeepsTheRelayWhole) {
    const std::string page = "@PJL USTATUS PAGE\r\n1\r\n\f";
    for (bool keep_first : {false, true}) {
        BackChannel channel;
        std::string relay;
        std::vector<PrinterMessage> messages;
        readBackChannel(channel, {.keep_page = keep_first}, page.substr(0, 9), relay, messages);
        readBackChannel(channel, {.keep_page = !keep_first}, page.substr(9) + "x", relay, messages);
        EXPECT_EQ(relay, page + "x");
        ASSERT_EQ(messages.size(), 1u);
    }
}

} // namespace
