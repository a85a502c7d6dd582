#include "joblog/joblog.h"

#include "common/io.h"
#include "settings/settings.h"

#include <cstdio>
#include <string>
#include <syslog.h>

namespace {

void writeSyslogLine(std::string_view when, std::optional<std::string_view> msg) {
    std::string line(kLogTag);
    line += " : [";
    line += when;
    line += "]";
    if (msg) {
        line += " : msg=[";
        line += *msg;
        line += "]";
    }
    line += "\n";
    openlog(kSyslogIdent, LOG_PID | LOG_CONS | LOG_NOWAIT | LOG_PERROR, LOG_USER);
    // The line is data: a percent sign in a message must not be read as a conversion.
    syslog(LOG_INFO, "%s", line.c_str());
    closelog();
}

} // namespace

int logPrint(std::optional<std::string_view> msg, std::optional<std::string_view> when,
             std::optional<std::string_view> ip) {
    if (verbose)
        std::printf("%s : filename=[%s] :\n", "logPrint", conf.logfile_path.c_str());
    if (conf.logfile_path.empty())
        return 0;

    std::string now;
    if (!when) {
        now = tindrel::ctimeNow();
        when = now;
    }

    std::string file = conf.logfile_path;
    if (file.front() == '*') {
        writeSyslogLine(*when, msg);
        file.erase(0, 1);
        if (file.empty())
            return 0;
    } else if (conf.use_syslog) {
        writeSyslogLine(*when, msg);
        // A "*" value alone leaves only the working directory and its "/": no file to write.
        if (file.back() == '/')
            return 0;
    }

    std::string line(kLogTag);
    line += " : [";
    line += *when;
    line += "]";
    if (ip) {
        line += " : ip=[";
        line += *ip;
        line += "]";
    }
    if (msg) {
        line += " : msg=[";
        line += *msg;
        line += "]";
    }
    line += "\n";

    // Opened and closed per line, so a log moved away is created anew by the next line.
    tindrel::UniqueFile log = tindrel::openFile(file, "a");
    if (!log) {
        std::perror("logPrint/fopen: openning log file failure");
        return 1;
    }
    bool written = std::fwrite(line.data(), 1, line.size(), log.get()) == line.size();
    if (log.reset() != 0 || !written) {
        std::perror("logPrint/fclose: writing log file failure");
        return 1;
    }
    return 0;
}
