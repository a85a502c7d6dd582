// A running process as /proc shows it: open descriptors with their flags,
// and the numbers of its status lines (ids, groups, memory).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace testsupport {

struct Descriptor {
    int fd = -1;
    std::string target;      // what the link names: socket:[...], a path, ...
    unsigned long flags = 0; // the octal "flags:" field
};
// The open descriptors by number, or nothing when /proc/PID cannot be read.
std::optional<std::vector<Descriptor>> openDescriptors(pid_t pid);
std::string describe(const std::vector<Descriptor>& fds);
size_t countSockets(const std::vector<Descriptor>& fds);
bool holds(const std::vector<Descriptor>& fds, const std::string& path);
// Fails the test for every descriptor but 0, 1 and 2 without close-on-exec.
void expectCloseOnExec(const std::vector<Descriptor>& fds);

// The state letter of /proc/PID/stat: R, S, T (stopped), ...; 0 when gone.
char statusState(pid_t pid);
// Where the process sleeps in the kernel (/proc/PID/wchan), "" when unknown.
std::string kernelWait(pid_t pid);
// The numbers of a /proc/PID/status line such as "VmRSS:" or "Groups:".
std::vector<unsigned long> statusNumbers(pid_t pid, std::string_view field);

} // namespace testsupport
