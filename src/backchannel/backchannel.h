// Back channel: what a printer says on the job's connection. PJL status
// messages ("@PJL USTATUS ...", "@PJL INFO ..." answers, each ended by a form
// feed) and PostScript messages ("%%[ ... ]%%") are recognised in the bytes
// as they come, split anywhere; the messages tindrel asked for itself are
// kept back from the client, everything else passes unchanged and in order.
// Pure functions over the bytes they are given: no I/O, no settings.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A PJL message is held until its form feed, up to this many bytes; a longer
// one is given up and passes as it is.
inline constexpr size_t kPjlMessageMax = 4096;
// A PostScript message runs to "]%%" on its line, within this many bytes.
inline constexpr size_t kPostScriptMessageMax = 512;

// What is kept back from the client. The rules may change between chunks; a
// message of which some bytes already went to the client is never kept back.
struct BackChannelRules {
    // tindrel's own job names (compared without case): their USTATUS JOB
    // messages are kept back.
    std::vector<std::string> own_names{};
    bool keep_job = false;    // every USTATUS JOB message (the client turned on none)
    bool keep_page = false;   // USTATUS PAGE messages (the client turned on none)
    bool keep_device = false; // USTATUS DEVICE and TIMED messages (likewise)
};

// A message as recognised. Texts are cleaned (recordForm) and cut.
struct PrinterMessage {
    enum class Kind { JobStart, JobEnd, Page, Device, Info, PostScript };
    Kind kind = Kind::Device;
    std::string name;           // JobStart, JobEnd: the job's NAME; Info: what was asked ("ID")
    std::optional<long> page;   // Page: the page's number
    std::optional<long> pages;  // JobEnd: PAGES
    std::string result;         // JobEnd: RESULT in upper case, empty when absent
    std::optional<long> code;   // Device, Info STATUS: CODE
    std::optional<bool> online; // Device, Info STATUS: ONLINE
    // Device: DISPLAY; Info: the answer (without quotes when it is one
    // quoted line, as the model is); PostScript: what stands inside "%%[ ]%%".
    std::string text;
    bool kept_back = false; // the client did not get it
};

// The state of one connection's back channel: bounded whatever comes.
struct BackChannel {
    enum class State { Text, MaybePjl, Pjl };
    State state = State::Text;
    bool line_start = true;  // the last byte ended a line (or none came yet)
    std::string held;        // the PJL message (or its possible start) under way
    size_t held_relayed = 0; // leading bytes of `held` the client already has
    size_t ps_matched = 0;   // bytes of "%%[" just seen
    bool in_postscript = false;
    std::string postscript; // what followed "%%[" so far
};

// Reads a chunk of the printer's bytes. Appends to `relay` the bytes the
// client gets: everything except the messages the rules keep back,
// unchanged and in order (bytes that may begin a message are held until it
// is decided). Appends the messages it recognised. When the rules keep
// nothing back the chunk goes to `relay` whole at once.
void readBackChannel(BackChannel& channel, const BackChannelRules& rules, std::string_view chunk,
                     std::string& relay, std::vector<PrinterMessage>& messages);
// The connection ended: what is still held goes to `relay` (an unfinished
// message is never kept back), and the channel starts afresh.
void endBackChannel(BackChannel& channel, std::string& relay);

// What a DEVICE code says: 10xxx ready, 30xxx and 35xxx warnings, 41xxx
// paper out, 42xxx jams, other 4xxxx errors.
enum class DeviceState { Ready, Warning, PaperOut, Jam, Error, Other };
DeviceState deviceState(long code);
