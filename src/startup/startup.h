// The program's top: the command line, the switch of the run identity and the
// checks made before serving.
#pragma once

#include "settings/settings.h"

int parseOptions(int argc, char** argv);
// The last line of -t on standard output.
void printCheckSummary(int refused);
int usage();

// Fixes the run user's name, switches the identity, then derives the settings.
int applyConf();
int setUser();

// Set by -t: apply the configuration, check it and exit instead of serving.
extern bool check_only;
// The checks made before serving. `listener` is the listening socket when
// one was passed in (-1 otherwise): its address is then the proxy's own.
// Each refusal is one line on standard error; returns 0 when the daemon can
// serve, 1 when it must not start.
int checkServing(int listener);
// What -t checks: everything -d would meet before it serves (the bind as the
// run user, the job log), and warnings that do not refuse.
int checkOnly();
// The configuration could not be read or applied.
extern bool conf_failed;
