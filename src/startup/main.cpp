#include "facepage/facepage.h"
#include "joblog/joblog.h"
#include "service/service.h"
#include "startup/startup.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

int main(int argc, char** argv) {
    const std::time_t started = std::time(nullptr);
    occupyStandardDescriptors();
    // Progress lines must reach a log collector or a pipe as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A printer, client or device pipe that goes away must never end the
    // daemon, nor a log or record file that reaches its size limit.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    if (argc == 2 && std::string_view(argv[1]) == "--help") {
        usage();
        std::exit(0);
    }
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::puts(kVersion);
        std::exit(0);
    }

    if (parseOptions(argc, argv) != 0)
        std::exit(0);
    if (check_only) {
        int refused = conf_failed ? 1 : checkOnly();
        printCheckSummary(refused);
        std::exit(refused);
    }

    tindrel::UniqueFd listener = passedListener();
    if (checkServing(listener.get()) != 0)
        std::exit(1);
    ReadDb();
    if (listener.valid()) {
        verboseLine("listening socket passed by systemd: proxy-ip and proxy-port are not used");
    } else {
        listener = openListener(conf.use_printer
                                    ? "socket: unable to create a TCP socket for proxy service\n"
                                    : "socket: unable to create a socket for proxy service\n");
    }
    // Taken only once a client is ready, so a client that is gone by then
    // cannot block the daemon in accept.
    tindrel::setBlocking(listener.get(), false);

    installStopHandling();
    // Written with the stop signals held, so a stop never leaves its temporary file.
    startMetrics(outcomeNames(), started);
    notifyReady();
    if (conf.use_printer)
        relayPrinter(listener.get());
    else
        spoolDevice(listener.get());
    if (stopRequested())
        notifyStopping();
    std::exit(0);
}
