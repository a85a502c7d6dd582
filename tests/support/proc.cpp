
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sstream>

#include "support/support.h"

namespace testsupport {

std::optional<std::vector<Descriptor>> openDescriptors(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    std::error_code ec;
    std::filesystem::directory_iterator entries(base + "/fd", ec);
    if (ec)
        return std::nullopt;
    std::vector<Descriptor> found;
    for (const auto& entry : entries) {
        Descriptor d;
        d.fd = std::atoi(entry.path().filename().c_str());
        d.target = std::filesystem::read_symlink(entry.path(), ec).string();
        std::string info = readFile(base + "/fdinfo/" + std::to_string(d.fd));
        size_t at = info.find("flags:");
        if (at == std::string::npos)
            continue; // closed between the listing and the read
        d.flags = std::strtoul(info.c_str() + at + 6, nullptr, 8);
        found.push_back(d);
    }
    std::sort(found.begin(), found.end(),
              [](const Descriptor& a, const Descriptor& b) { return a.fd < b.fd; });
    return found;
}

std::string describe(const std::vector<Descriptor>& fds) {
    std::ostringstream text;
    for (const auto& d : fds)
        text << d.fd << " -> " << d.target << " flags " << std::oct << d.flags << std::dec << "\n";
    return text.str();
}

size_t countSockets(const std::vector<Descriptor>& fds) {
    return std::count_if(fds.begin(), fds.end(),
                         [](const Descriptor& d) { return d.target.starts_with("socket:"); });
}

bool holds(const std::vector<Descriptor>& fds, const std::string& path) {
    return std::any_of(fds.begin(), fds.end(),
                       [&](const Descriptor& d) { return d.target == path; });
}

void expectCloseOnExec(const std::vector<Descriptor>& fds) {
    for (const auto& d : fds) {
        if (d.fd <= 2)
            continue;
        EXPECT_NE(d.flags & O_CLOEXEC, 0u)
            << "descriptor " << d.fd << " (" << d.target << ") stays open across exec\n"
            << describe(fds);
    }
}

char statusState(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t end = stat.rfind(')');
    return end == std::string::npos || end + 2 >= stat.size() ? 0 : stat[end + 2];
}

std::string kernelWait(pid_t pid) {
    return readFile("/proc/" + std::to_string(pid) + "/wchan");
}

std::vector<unsigned long> statusNumbers(pid_t pid, std::string_view field) {
    std::vector<unsigned long> numbers;
    for (const auto& line : splitLines(readFile("/proc/" + std::to_string(pid) + "/status"))) {
        if (!line.starts_with(field))
            continue;
        std::istringstream in(line.substr(field.size()));
        for (unsigned long v; in >> v;)
            numbers.push_back(v);
    }
    return numbers;
}

} // namespace testsupport
