// User database reader: any file content loads the same records as the
// stream pattern "%45s %10s %10s\n" read until the end of the file (tokens
// cut at their widths, buffers kept from the pass before), and every loaded
// address is found at its first record.
#include "fuzz_support.h"

#include "facepage/facepage.h"
#include "startup/startup.h"

#include <cstring>
#include <vector>

namespace {

std::string dbFile;

void removeScratch() {
    std::remove(dbFile.c_str());
}

struct Expected {
    std::string address, office, phone;
};

// The load as the file format describes it, done with the C stream reader.
std::vector<Expected> referenceLoad(const std::string& path) {
    std::vector<Expected> records;
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f)
        std::abort();
    char address[kDbAddressWidth + 1] = {};
    char office[kDbOfficeWidth + 1] = {};
    char phone[kDbPhoneWidth + 1] = {};
    while (!std::feof(f)) {
        if (std::fscanf(f, "%45s %10s %10s\n", address, office, phone) < 0 && std::ferror(f))
            std::abort();
        records.push_back(Expected{address, office, phone});
    }
    std::fclose(f);
    return records;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    dbFile = fuzz::scratchPath("users.db");
    std::atexit(removeScratch);
    fuzz::silenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::writeFileOrDie(dbFile, data, size);
    conf.local = dbFile;
    fuzz::check(ReadDb() == 0, "ReadDb failed on a readable file");

    std::vector<Expected> expected = referenceLoad(dbFile);
    fuzz::check(userDb.size() == expected.size(), "record count differs from the stream reader");
    for (size_t i = 0; i < userDb.size(); ++i) {
        const UserRecord& r = userDb[i];
        fuzz::check(r.index == static_cast<int32_t>(i + 1), "index is not the position from 1");
        fuzz::check(r.ip_address == expected[i].address, "address differs from the stream reader");
        fuzz::check(r.office == expected[i].office, "office differs from the stream reader");
        fuzz::check(r.phone == expected[i].phone, "phone differs from the stream reader");
    }

    // Every loaded address is found, at its first record.
    for (size_t i = 0; i < userDb.size(); ++i) {
        int pos = lookupIp(userDb[i].ip_address);
        fuzz::check(pos >= 0 && static_cast<size_t>(pos) <= i, "loaded address not found");
        tindrel::NetAddress found, wanted;
        fuzz::check(
            userDb[static_cast<size_t>(pos)].ip_address == userDb[i].ip_address ||
                (tindrel::parseAddress(userDb[i].ip_address, wanted) &&
                 tindrel::parseAddress(userDb[static_cast<size_t>(pos)].ip_address, found) &&
                 tindrel::sameAddress(found, wanted)),
            "lookup returned another address");
    }

    // Fixed addresses, and the first line of the input taken as an address.
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string_view first = text.substr(0, text.find('\n'));
    for (std::string_view ip : {std::string_view("127.0.0.1"), std::string_view("10.0.0.5"),
                                std::string_view("0.0.0.0"), std::string_view(""), first}) {
        int pos = lookupIp(ip);
        // Listed as the same text, or as the same address in another form.
        tindrel::NetAddress asked, listed;
        const bool is_address = tindrel::parseAddress(ip, asked);
        auto same = [&](const std::string& text) {
            return text == ip || (is_address && tindrel::parseAddress(text, listed) &&
                                  tindrel::sameAddress(asked, listed));
        };
        size_t want = 0;
        while (want < userDb.size() && !same(userDb[want].ip_address))
            ++want;
        if (want == userDb.size())
            fuzz::check(pos == -1, "lookup found an address that is not listed");
        else
            fuzz::check(pos == static_cast<int>(want), "lookup missed the first listed record");
    }
    return 0;
}
