#include "startup/startup.h"

#include "facepage/facepage.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <unistd.h>

bool conf_failed = false;

int usage() {
    std::printf("Usage: tindrel [-C file.conf] [-c] [-v]  [-d | -h ]\n");
    std::printf("       version : %s\n", kVersion);
    static constexpr const char* kLines[] = {
        "\nImplements a HP JetDirect proxy server\n\nOptions",
        " -C : Use the configuration file name 'file.conf'. if undefined the",
        "      default file is /etc/tindrel.conf\n",
        " -c : Read the configuration file. if it exist and show the defined",
        "      parameters. If the file does not exist the program will  show",
        "      the default parameters. You may create  the  tindrel.conf  by",
        "      using this option and redirecting the results to file.\n",
        " -v : Verbose mode. Show each program step at logfile.\n",
        " -d : Run the proxy daemon. Requires option -C\n",
        " -h : shows this short help.\n",
        "News, updates and documentation visit",
        "      https://tindrel.org/",
        "Report bugs and sugestions to <bugs@tindrel.org>",
    };
    for (const char* line : kLines)
        std::puts(line);
    return 0;
}

void printCheckSummary(int refused) {
    if (refused)
        std::printf("%s: the configuration is refused; tindrel -d would not start\n",
                    conf_path.c_str());
    else
        std::printf("%s: the configuration is usable; tindrel -d would serve\n", conf_path.c_str());
}

int parseOptions(int argc, char** argv) {
    opterr = 0;
    check_only = false;
    optind = 0; // full restart of the option parser, so a second pass starts afresh
    verbose = 0;
    int result = -1;

    int opt;
    while ((opt = getopt(argc, argv, ":C:cvdht")) != -1) {
        switch (opt) {
        case 'C':
            conf_path = std::string(std::string_view(optarg).substr(0, kConfPathMax));
            break;
        case 'c': {
            int rc = readConf(true);
            showConf(rc != 0);
            result = 1;
            break;
        }
        case 'v':
            ++verbose;
            break;
        case 'd':
            if (readConf(false) == 0)
                applyConf();
            check_only = false;
            result = 0;
            break;
        case 't':
            // Checked once the whole command line is read: a -C after -t
            // names the file to check.
            check_only = true;
            result = 0;
            break;
        case 'h':
            usage();
            result = 1;
            break;
        case ':':
            std::printf("\nOption -%c requires an operand. See %s -h\n", optopt, argv[0]);
            result = 1;
            break;
        default:
            std::printf("Invalid option -%c\n", optopt);
            result = 1;
            break;
        }
    }

    if (check_only && result == 0)
        conf_failed = readConf(false) != 0 || applyConf() != 0;

    // Only the leading characters decide, and case matters.
    std::string_view type = conf.template_type;
    if (type.starts_with("txt")) {
        sendFacePage = SendRostoTXT;
        return result;
    }
    if (type.starts_with("ps")) {
        sendFacePage = SendRostoPS;
        return result;
    }
    std::puts("Invalid template type. May be only \"ps\" or \"txt\"");
    if (check_only && result == 0)
        printCheckSummary(1);
    std::exit(1);
}
