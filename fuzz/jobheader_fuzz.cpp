// Job header: any start of a job. The fields never hold more than the job,
// the cleaned values are what the page and the record may carry, and the
// page-count scanner sees the same job whether it comes whole or in pieces;
// a count of copies is within its bounds.
// Input: one byte that picks where the job is split, then the job.
#include "fuzz_support.h"

#include "jobheader/jobheader.h"

namespace {

void checkValue(const std::string& raw) {
    std::string record = recordForm(raw);
    fuzz::check(validUtf8(record), "record value is not UTF-8");
    fuzz::check(cutCharacters(record, kRecordValueMax) == record, "record value too long");
    std::string page = pageForm(raw);
    fuzz::check(page.size() <= kPageValueMax, "page value too long");
    for (char ch : page) {
        auto c = static_cast<unsigned char>(ch);
        fuzz::check(c >= 0x20 && c != 0x7F && (c < 0x80 || c > 0x9F), "control byte on the page");
    }
    for (char ch : record) {
        auto c = static_cast<unsigned char>(ch);
        fuzz::check(c >= 0x20 && c != 0x7F, "control byte in the record");
    }
    fuzz::check(recordForm(record) == record, "cleaning a clean value changed it");
    fuzz::check(cutCharacters(record, 3).size() <= 12, "cut split or grew a character");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    size_t step = 1 + data[0] % 17;
    std::string_view job(reinterpret_cast<const char*>(data) + 1, size - 1);

    JobHeader h = parseJobHeader(job);
    if (h.user) {
        fuzz::check(h.user->size() <= job.size(), "user longer than the job");
        checkValue(*h.user);
    }
    if (h.document) {
        fuzz::check(h.document->size() <= job.size(), "document longer than the job");
        checkValue(*h.document);
    }
    fuzz::check(!h.copies || (*h.copies >= 1 && *h.copies <= kCopiesMax), "copies out of bounds");
    // Once ended, more bytes cannot take the end back.
    if (headerEnded(job.substr(0, job.size() / 2)))
        fuzz::check(headerEnded(job), "header end taken back by later bytes");

    PagesScanner whole;
    scanPages(whole, job);
    PagesScanner split;
    for (size_t i = 0; i < job.size(); i += step)
        scanPages(split, job.substr(i, step));
    fuzz::check(whole.pages == split.pages && whole.depth == split.depth &&
                    whole.copies == split.copies,
                "page scanner differs on a split job");
    fuzz::check(!whole.copies || (*whole.copies >= 1 && *whole.copies <= kCopiesMax),
                "scanned copies out of bounds");
    return 0;
}
