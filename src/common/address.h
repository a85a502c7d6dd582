// Network addresses of either family: the listener, the printer, the client,
// the checks, the face page and the user database all hold this one type.
#pragma once

#include <array>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/types.h>
#include <vector>

namespace tindrel {

// An IPv4 or IPv6 address, with a port where one belongs. An IPv4 address
// seen as an IPv4-mapped IPv6 one (a client of a dual-stack socket) is held
// as IPv4, so it keeps its IPv4 text everywhere.
struct NetAddress {
    sa_family_t family = AF_UNSPEC;  // AF_INET, AF_INET6, or AF_UNSPEC for none
    std::array<uint8_t, 16> bytes{}; // the first 4 for IPv4; network byte order
    uint16_t port = 0;               // network byte order; 0 where none belongs
    // The interface of a link-local IPv6 address (fe80::1%eth0); 0 for none.
    uint32_t scope = 0;
};

// Same family, address and scope; the port is not compared.
bool sameAddress(const NetAddress& a, const NetAddress& b);
// 0.0.0.0 or ::, which listen on every local address.
bool isAnyAddress(const NetAddress& a);
// 127.0.0.0/8 or ::1.
bool isLoopback(const NetAddress& a);

// fe80::/10, whose addresses mean something only on one interface.
bool isLinkLocal(const NetAddress& a);

// Reads an IPv4 literal (four decimal numbers, nothing short) or an IPv6
// literal, which may name its interface after a "%" (fe80::1%eth0, or its
// number). Names, inet_aton shorthand (192.168.10, 0x7f.1) and an interface
// this host does not have are refused.
bool parseAddress(std::string_view text, NetAddress& out);
// The address from a socket address; an IPv4-mapped IPv6 address becomes IPv4.
NetAddress fromSockaddr(const sockaddr* address, socklen_t length);
// The socket address for `a` with its port; returns its length, 0 for none.
socklen_t toSockaddr(const NetAddress& a, sockaddr_storage& out);

// inet_ntop's text: dotted quad, or compressed IPv6 (RFC 5952), with
// "%interface" for a scoped address.
std::string addressText(const NetAddress& a);
// "127.0.0.1:9100" or "[::1]:9100".
std::string endpointText(const NetAddress& a);

// Made of digits and dots only: such a value must be a full dotted quad.
bool digitsAndDots(std::string_view text);
// A host name a resolver can be asked for: letters, digits and hyphens in
// labels of 1 to 63 characters, at most 253 in all, and nothing a resolver
// would read as a numeric address instead (inet_aton's forms).
bool validHostName(std::string_view text);

} // namespace tindrel
