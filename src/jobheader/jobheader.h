// Job header: what a job says about itself in its first bytes (PJL job
// header, PostScript header comments), and the cleaning of those values.
// Pure functions over the bytes they are given: no I/O, no settings. The
// values come from strangers; clean them before they go anywhere.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The universal exit language: ends whatever job language a printer is in,
// and begins a PJL job.
inline constexpr std::string_view kUel = "\x1b%-12345X";
// The start of a job is read up to this many bytes before the face page.
inline constexpr size_t kHeaderMax = 16384;
// A count of copies outside 1..kCopiesMax is taken for no claim.
inline constexpr long kCopiesMax = 9999;
// A value on the face page and in the accounting record is cut to this many characters.
inline constexpr size_t kPageValueMax = 80;
inline constexpr size_t kRecordValueMax = 256;

struct JobHeader {
    // Raw values as the job gives them (PostScript string escapes decoded),
    // absent when the job does not state them or states them empty.
    std::optional<std::string> user;
    std::optional<std::string> document;
    std::optional<long> pages;           // %%Pages: N in the header
    bool pages_at_end = false;           // %%Pages: (atend): the count is in the trailer
    std::optional<std::string> language; // "postscript", "pdf", "pcl" or "pcl-xl"
    // The copies the job asks for: its PostScript setup's "/#copies n def"
    // in the bytes read (see PagesScanner), else the header's
    // "%%Requirements: numcopies(n)", else PJL "SET QTY=n", else "SET COPIES=n"
    // (the last SET of each).
    std::optional<long> copies;
    // The unsolicited status the job's own PJL turns on for itself ("@PJL
    // USTATUS JOB=ON", "PAGE=ON", "DEVICE=ON|VERBOSE" or "TIMED=n"), as it
    // stands once the header has been read.
    bool ustatus_job = false;
    bool ustatus_page = false;
    bool ustatus_device = false;
};

// Whether `start`, the first bytes of a job, already holds the end of its
// header: the first byte that is neither PJL nor a PostScript comment line,
// %%EndComments, %PDF, or a PCL escape after @PJL ENTER LANGUAGE. NUL or ESC
// inside a header line do not end it. Ctrl-D and blanks before the first
// line (as some Windows drivers send them before "%!") are skipped.
bool headerEnded(std::string_view start);
JobHeader parseJobHeader(std::string_view start);

// Finds the last "%%Pages: N" of a job and the last "/#copies n def" of its
// PostScript prolog and setup (from "%!" to the first "%%Page:"), both
// outside embedded documents (%%BeginDocument ... %%EndDocument), while the
// job passes, chunk by chunk, split anywhere. Holds a few bytes, whatever
// the job's size.
struct PagesScanner {
    static constexpr size_t kLineKept = 40; // enough for the longest text looked at
    char line[kLineKept] = {};
    size_t line_len = 0;
    bool collecting = false; // inside a line that began with "%", or after "/#"
    char last = '\n';        // the byte before this chunk
    bool in_setup = false;   // "/#copies" is looked for
    long depth = 0;
    std::optional<long> pages;
    std::optional<long> copies;
};
void scanPages(PagesScanner& scanner, std::string_view chunk);
// The job's page count: the header's number, or the trailer's when the
// header said (atend).
std::optional<long> jobPages(const JobHeader& header, const PagesScanner& scanner);
// The job's copies: the last "/#copies n def" of its setup, else the
// header's claim.
std::optional<long> jobCopies(const JobHeader& header, const PagesScanner& scanner);

// A raw value as UTF-8: valid UTF-8 is kept, anything else is read as
// Latin-1. Control characters (C0, DEL, C1) are removed; tabs and line ends
// become blanks; blanks at both ends are dropped.
std::string cleanValue(std::string_view raw);
// The first `count` characters of a UTF-8 text, never splitting one.
std::string cutCharacters(std::string_view utf8, size_t count);
// For the face page: cleaned, cut to kPageValueMax characters, as Latin-1
// bytes with "?" for every character Latin-1 cannot hold.
std::string pageForm(std::string_view raw);
// For the accounting record: cleaned UTF-8, cut to kRecordValueMax characters.
std::string recordForm(std::string_view raw);
// Whether the bytes are valid UTF-8 (no overlong forms, no surrogates).
bool validUtf8(std::string_view text);
