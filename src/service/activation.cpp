// systemd integration: the listening socket systemd may pass (socket
// activation) and the readiness and status messages for the service manager.
#include "service/service.h"

#ifdef TINDREL_HAVE_SYSTEMD

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>

namespace {

[[noreturn]] void refusePassedSockets(const std::string& why) {
    std::string line = "systemd socket activation: " + why + "\n";
    std::fputs(line.c_str(), stderr);
    std::exit(1);
}

void notify(const std::string& state) {
    // Without NOTIFY_SOCKET this does nothing; a failed send changes nothing either.
    sd_notify(0, state.c_str());
}

// A line break would start a new assignment (READY=, MAINPID=, ...), and a
// status may carry a host name from DNS: control characters become blanks.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    }
    return text;
}

} // namespace

tindrel::UniqueFd passedListener() {
    // Unset the environment so that no child takes the socket for its own.
    int count = sd_listen_fds(1);
    if (count < 0)
        refusePassedSockets(std::string("sd_listen_fds: ") + std::strerror(-count));
    if (count == 0)
        return tindrel::UniqueFd();
    if (count > 1)
        refusePassedSockets(std::to_string(count) +
                            " sockets passed; give the socket unit one ListenStream=");

    tindrel::UniqueFd fd(SD_LISTEN_FDS_START);
    int inet = sd_is_socket_inet(fd.get(), AF_UNSPEC, SOCK_STREAM, 1, 0);
    if (inet < 0)
        refusePassedSockets(std::string("sd_is_socket_inet: ") + std::strerror(-inet));
    if (inet == 0)
        refusePassedSockets("the passed socket is not a listening TCP socket of IPv4 or IPv6");
    // systemd passes the socket without close-on-exec.
    int flags = fcntl(fd.get(), F_GETFD);
    if (flags < 0 || fcntl(fd.get(), F_SETFD, flags | FD_CLOEXEC) < 0)
        refusePassedSockets(std::string("fcntl FD_CLOEXEC: ") + std::strerror(errno));
    return fd;
}

void notifyReady() {
    notify("READY=1");
}

void notifyStatus(const std::string& text) {
    notify("STATUS=" + oneLine(text));
}

void notifyStopping() {
    notify("STOPPING=1");
}

#else

tindrel::UniqueFd passedListener() {
    return tindrel::UniqueFd();
}

void notifyReady() {}

void notifyStatus(const std::string&) {}

void notifyStopping() {}

#endif
