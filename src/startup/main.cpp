#include "facepage/facepage.h"
#include "service/service.h"
#include "startup/startup.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    // Progress lines must reach a log collector or a pipe as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A printer, client or device pipe that goes away must never end the daemon.
    std::signal(SIGPIPE, SIG_IGN);

    if (parseOptions(argc, argv) != 0)
        std::exit(0);
    ReadDb();
    if (conf.use_printer)
        relayPrinter();
    else
        spoolDevice();
    std::exit(0);
}
