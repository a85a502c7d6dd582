// Settings: the key table with its reader and dump, the runtime settings record
// derived from it, and the verbose counter. Every subsystem reads these; this
// floor includes nothing of the program but common/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/address.h"

inline constexpr const char* kVersion = "tindrel-1.0.2 2005-06-29";
inline constexpr const char* kDefaultConfPath = "/etc/tindrel.conf";
inline constexpr size_t kConfPathMax = 120;   // a longer -C operand is cut
inline constexpr size_t kValueMax = 60;       // a longer configuration value is cut
inline constexpr size_t kConfLineRead = 1022; // longer lines arrive in pieces

// One row of the key table. The table lives for the whole process; rows keep
// what earlier reads of the file set.
struct KeyEntry {
    const char* comando; // the key, matched as a case-insensitive prefix
    size_t key_len;
    bool given;        // the last line that matched had an "="
    std::string valor; // at most kValueMax characters
    size_t tam;        // value length, 0 to kValueMax
    const char* default_value;
    size_t default_len;
    bool cut = false; // the value the row holds was longer than kValueMax
};

inline constexpr size_t kKeyCount = 16;
// kKeyCount rows in matching and dump order, then a row without a key.
extern KeyEntry keyTable[kKeyCount + 1];
// Index of each row in keyTable.
enum KeyRow : size_t {
    kUser,
    kWorkingDir,
    kTemplateName,
    kTemplateType,
    kLogfile,
    kIpLocation,
    kProxyPort,
    kProxyIp,
    kPrinterPort,
    kPrinterIp,
    kPrinterDev,
    kIdletime,
    kRetryPrinter,
    kAccounting,
    kPrinterStatus,
    kMetrics,
};

extern std::string conf_path;

// Runtime settings derived from the key table. Ports are in network byte
// order; the addresses carry no port of their own. Paths are kept whole: a
// cut path names another file.
struct Conf {
    uint16_t proxy_port = 0;
    tindrel::NetAddress proxy_ip; // no family when the value is no address literal
    uint16_t printer_port = 0;
    tindrel::NetAddress printer_ip; // no family when printer-ip is not a literal:
    std::string printer_host;       // it is then this name, resolved per attempt
    std::string printer_dev;
    uint8_t use_printer = 0;
    std::string template_name;
    std::string template_type;
    int32_t idle_time = 0;
    std::string logfile_path;
    uint8_t use_syslog = 0;
    std::string local;
    std::string user_name;
    std::string working_dir;
    int32_t retry_printer = 0;
    // Where each job's accounting record is appended; empty: no records.
    std::string accounting_path;
    // printer-status = pjl: each job and its face page go out as named PJL
    // jobs, and the job ends when the printer says it came out.
    bool pjl_status = false;
    // The metrics file for the node exporter's textfile collector; empty: none.
    std::string metrics_path;
};

extern Conf conf;
extern int verbose;

// Reads the configuration file into the key table. In quiet mode nothing is
// printed; otherwise the warnings about its lines go to standard error, and
// the caller applies the table (applyConf) when the read returned 0.
int readConf(bool quiet);
int showConf(bool show_defaults);
// Puts the key table back to its start state (no key given, empty values).
void resetKeyTable();

// The text a numeric, address or device key is read from: its value, or
// its default when the value is empty.
std::string settingText(KeyRow r);
// The number proxy-port, printer-port (in host order), idletime or
// retry-printer is read as.
long settingNumber(KeyRow r);
// A port key's number as written, before it is fitted into 16 bits.
long portAsWritten(KeyRow r);
// Whether a key names a file, so that a cut value names another file.
bool namesFile(KeyRow r);

// The run user the table names, or the default one.
std::string configuredUserName();
// Everything applyConf derives after the identity switch: the working
// directory (from what the switch left there), paths, ports, addresses, numbers.
void deriveSettings();
