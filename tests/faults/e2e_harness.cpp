// The end-to-end harness (daemon process, fake printer, print client) is
// shared with tests/e2e; this program links its own copy.
#include "e2e/harness.cpp"
