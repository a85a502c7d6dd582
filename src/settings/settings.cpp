#include "settings/settings.h"

#include "common/io.h"

#include <arpa/inet.h>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>

Conf conf;
int verbose = 0;

namespace {

const KeyEntry& key(KeyRow r) {
    return keyTable[r];
}

// A text key counts as set when its last line gave it "=" and characters. The
// value itself is looked at, not the stored length: "key =" after "key = x"
// keeps the earlier length with an empty value, which must not become an
// empty name, user or directory.
bool setWithValue(KeyRow r) {
    return key(r).given && !key(r).valor.empty();
}

const std::string& valueOf(KeyRow r) {
    return key(r).valor;
}

// Numeric, address and device keys look only at the stored length, so a
// valueless line after a value reads as an empty text (a port then reads 0).
std::string valueOrDefault(KeyRow r) {
    return key(r).tam != 0 ? key(r).valor : std::string(key(r).default_value);
}

// Base-10 like strtol, clamped to the 32-bit range of the setting.
int32_t readNumber(const std::string& text) {
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

uint16_t readPort(const std::string& text) {
    long v = std::strtol(text.c_str(), nullptr, 10);
    return htons(static_cast<uint16_t>(static_cast<unsigned long>(v) & 0xFFFFu));
}

// An address key's literal; trailing white space is tolerated (it is warned
// about). Anything else leaves the address without a family.
tindrel::NetAddress addressOf(KeyRow r) {
    tindrel::NetAddress address;
    if (!tindrel::parseAddress(tindrel::trimEnd(valueOrDefault(r)), address))
        address = tindrel::NetAddress{};
    return address;
}

// A relative name is placed in the working directory.
std::string composePath(KeyRow r) {
    if (setWithValue(r)) {
        const std::string& v = valueOf(r);
        if (v.front() == '/')
            return v;
        return conf.working_dir + "/" + v;
    }
    return conf.working_dir + "/" + key(r).default_value;
}

// A file that only a value turns on: relative to the working directory,
// empty without a value.
std::string optionalPath(KeyRow r) {
    if (!setWithValue(r))
        return std::string();
    const std::string& v = valueOf(r);
    return v.front() == '/' ? v : conf.working_dir + "/" + v;
}

} // namespace

void deriveSettings() {
    const KeyEntry& wd = key(kWorkingDir);
    if (!wd.given)
        conf.working_dir = wd.default_value;
    else if (setWithValue(kWorkingDir))
        conf.working_dir = valueOf(kWorkingDir);
    else if (conf.working_dir.empty())
        conf.working_dir = wd.default_value;

    conf.template_name = composePath(kTemplateName);
    conf.template_type =
        setWithValue(kTemplateType) ? valueOf(kTemplateType) : key(kTemplateType).default_value;

    if (setWithValue(kLogfile)) {
        const std::string& v = valueOf(kLogfile);
        if (v.front() == '/') {
            conf.logfile_path = v;
        } else if (v.front() == '*') {
            // The mark selects the system logger; "*" alone leaves a path
            // ending in "/", which names no file.
            conf.use_syslog = 1;
            conf.logfile_path = conf.working_dir + "/" + v.substr(1);
        } else {
            conf.use_syslog = 0;
            conf.logfile_path = conf.working_dir + "/" + v;
        }
    } else {
        conf.logfile_path = conf.working_dir + "/" + key(kLogfile).default_value;
    }

    conf.local = composePath(kIpLocation);
    // Like logfile, relative to the working directory; no value, no file.
    conf.accounting_path = optionalPath(kAccounting);
    conf.metrics_path = optionalPath(kMetrics);
    conf.pjl_status = tindrel::trimEnd(valueOrDefault(kPrinterStatus)) == "pjl";
    conf.proxy_port = readPort(valueOrDefault(kProxyPort));
    conf.proxy_ip = addressOf(kProxyIp);
    conf.printer_port = readPort(valueOrDefault(kPrinterPort));
    conf.printer_ip = addressOf(kPrinterIp);
    conf.printer_host.clear();
    if (conf.printer_ip.family == AF_UNSPEC)
        conf.printer_host = tindrel::trimEnd(valueOrDefault(kPrinterIp));
    conf.printer_dev = valueOrDefault(kPrinterDev);
    conf.idle_time = readNumber(valueOrDefault(kIdletime));
    conf.retry_printer = readNumber(valueOrDefault(kRetryPrinter));
    // 0.0.0.0 or :: names no printer; a name (or a value the checks refuse) does.
    conf.use_printer = (!tindrel::isAnyAddress(conf.printer_ip) && conf.printer_port != 0) ? 1 : 0;
}

std::string settingText(KeyRow r) {
    return valueOrDefault(r);
}

long settingNumber(KeyRow r) {
    if (r == kProxyPort || r == kPrinterPort)
        return ntohs(readPort(valueOrDefault(r)));
    return readNumber(valueOrDefault(r));
}

std::string configuredUserName() {
    return setWithValue(kUser) ? valueOf(kUser) : key(kUser).default_value;
}

long portAsWritten(KeyRow r) {
    return std::strtol(valueOrDefault(r).c_str(), nullptr, 10);
}

bool namesFile(KeyRow r) {
    return r == kWorkingDir || r == kTemplateName || r == kLogfile || r == kIpLocation ||
           r == kPrinterDev || r == kAccounting || r == kMetrics;
}
