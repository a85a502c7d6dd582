// Configuration reader: any file content fills the key table within its
// limits, the dump of the table reads back as the same values, and the
// settings derived from it are consistent.
#include "fuzz_support.h"

#include "startup/startup.h"

#include <cctype>

namespace {

std::string confFile;
std::string dumpFile;

void removeScratch() {
    std::remove(confFile.c_str());
    std::remove(dumpFile.c_str());
}

void checkTable() {
    for (const KeyEntry* k = keyTable; k->comando; ++k) {
        fuzz::check(k->tam <= kValueMax, "tam above the value limit");
        fuzz::check(k->valor.size() <= kValueMax, "value above the value limit");
        fuzz::check(k->given || k->valor.empty(), "a key without \"=\" kept a value");
        fuzz::check(k->valor.empty() || k->valor.size() == k->tam, "tam disagrees with the value");
        fuzz::check(k->valor.find('\n') == std::string::npos, "newline inside a value");
        fuzz::check(k->valor.find('\0') == std::string::npos, "zero byte inside a value");
        fuzz::check(k->valor.empty() || !std::isspace(static_cast<unsigned char>(k->valor.front())),
                    "value starts with white space");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    confFile = fuzz::scratchPath("config.conf");
    dumpFile = fuzz::scratchPath("config.dump");
    std::atexit(removeScratch);
    fuzz::silenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::writeFileOrDie(confFile, data, size);
    conf_path = confFile;
    resetKeyTable();
    fuzz::check(readConf(true) == 0, "readConf failed on a readable file");
    checkTable();

    std::string values[kKeyCount];
    for (size_t i = 0; i < kKeyCount; ++i)
        values[i] = keyTable[i].valor;

    // The dump of what was read is itself a configuration that sets the same values.
    if (!std::freopen(dumpFile.c_str(), "w", stdout))
        std::abort();
    showConf(false);
    fuzz::silenceStdout();
    showConf(true);
    conf_path = dumpFile;
    resetKeyTable();
    fuzz::check(readConf(true) == 0, "readConf failed on the dump");
    for (size_t i = 0; i < kKeyCount; ++i) {
        fuzz::check(keyTable[i].given, "a dumped key line was not taken as given");
        fuzz::check(keyTable[i].valor == values[i], "dumped value reads back differently");
    }

    // Back to the table of the input, then derive as a non-root start would.
    conf_path = confFile;
    resetKeyTable();
    readConf(true);
    conf = Conf{};
    conf.working_dir = "./";
    deriveSettings();
    // An empty working directory would put every relative file at the root.
    fuzz::check(!conf.working_dir.empty(), "empty working directory");
    fuzz::check(!conf.template_name.empty(), "empty template name");
    fuzz::check(!conf.local.empty(), "empty user database path");
    fuzz::check(conf.use_printer ==
                    (!tindrel::isAnyAddress(conf.printer_ip) && conf.printer_port != 0),
                "use_printer disagrees with the printer address");
    return 0;
}
