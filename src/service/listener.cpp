// The listening socket, and the standard descriptors it must not take.
#include "service/service.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "settings/settings.h"

void occupyStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd)
            close(null_fd); // a lower one was closed meanwhile; nothing to fix
    }
}

tindrel::UniqueFd openListener(const char* failure_text) {
    tindrel::NetAddress own = conf.proxy_ip;
    own.port = conf.proxy_port;
    sockaddr_storage address{};
    socklen_t length = tindrel::toSockaddr(own, address);
    tindrel::UniqueFd fd(socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        perror(failure_text);
        exit(1);
    }
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (own.family == AF_INET6) {
        // :: serves both families; any other IPv6 address only its own.
        int v6only = tindrel::isAnyAddress(own) ? 0 : 1;
        setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    }
    // Without a bound address listen would pick a port nobody knows.
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) < 0) {
        perror("bind: unable to bind the proxy service address");
        exit(1);
    }
    if (listen(fd.get(), kBacklog) < 0) {
        perror("listen: unable to listen for print clients");
        exit(1);
    }
    return fd;
}
