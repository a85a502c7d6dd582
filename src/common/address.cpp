#include "common/address.h"

#include "common/io.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>

namespace tindrel {

namespace {

size_t addressSize(const NetAddress& a) {
    return a.family == AF_INET ? 4 : a.family == AF_INET6 ? 16 : 0;
}

NetAddress fromIpv6(const in6_addr& a6, uint16_t port, uint32_t scope) {
    NetAddress a;
    a.port = port;
    if (IN6_IS_ADDR_V4MAPPED(&a6)) {
        a.family = AF_INET;
        std::memcpy(a.bytes.data(), &a6.s6_addr[12], 4);
    } else {
        a.family = AF_INET6;
        std::memcpy(a.bytes.data(), &a6, 16);
        a.scope = scope;
    }
    return a;
}

// The interface after "%": a name this host has, or its number.
bool parseScope(const std::string& text, uint32_t& scope) {
    if (text.empty())
        return false;
    if (text.find_first_not_of("0123456789") == std::string::npos) {
        if (text.size() > 9)
            return false;
        scope = static_cast<uint32_t>(std::stoul(text));
        return scope != 0;
    }
    scope = if_nametoindex(text.c_str());
    return scope != 0;
}

// One record on the resolver's pipe: the family, 16 address bytes, then the
// scope in 4 bytes of host order.
constexpr size_t kRecordSize = 21;

// Writes "E" and the resolver's error, or "A" and one record per address.
void resolveInChild(const std::string& name, int writer) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    std::string answer;
    if (rc != 0) {
        answer = "E";
        answer += rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
    } else {
        answer = "A";
        for (const addrinfo* i = found; i; i = i->ai_next) {
            NetAddress a = fromSockaddr(i->ai_addr, i->ai_addrlen);
            if (a.family == AF_UNSPEC)
                continue;
            answer += static_cast<char>(a.family == AF_INET ? 4 : 6);
            answer.append(reinterpret_cast<const char*>(a.bytes.data()), a.bytes.size());
            answer.append(reinterpret_cast<const char*>(&a.scope), sizeof a.scope);
        }
        freeaddrinfo(found);
    }
    writeAll(writer, answer.data(), answer.size());
}

} // namespace

bool sameAddress(const NetAddress& a, const NetAddress& b) {
    return a.family == b.family && a.family != AF_UNSPEC && a.scope == b.scope &&
           std::memcmp(a.bytes.data(), b.bytes.data(), addressSize(a)) == 0;
}

bool isAnyAddress(const NetAddress& a) {
    if (a.family == AF_UNSPEC)
        return false;
    for (size_t i = 0; i < addressSize(a); ++i)
        if (a.bytes[i] != 0)
            return false;
    return true;
}

bool isLoopback(const NetAddress& a) {
    if (a.family == AF_INET)
        return a.bytes[0] == 127;
    if (a.family != AF_INET6)
        return false;
    in6_addr a6{};
    std::memcpy(&a6, a.bytes.data(), 16);
    return IN6_IS_ADDR_LOOPBACK(&a6);
}

bool isLinkLocal(const NetAddress& a) {
    return a.family == AF_INET6 && a.bytes[0] == 0xfe && (a.bytes[1] & 0xc0) == 0x80;
}

bool parseAddress(std::string_view text, NetAddress& out) {
    std::string s(text);
    uint32_t scope = 0;
    if (size_t percent = s.find('%'); percent != std::string::npos) {
        if (!parseScope(s.substr(percent + 1), scope))
            return false;
        s.resize(percent);
        in6_addr a6{};
        if (inet_pton(AF_INET6, s.c_str(), &a6) != 1 || IN6_IS_ADDR_V4MAPPED(&a6))
            return false;
        out = fromIpv6(a6, 0, scope);
        return true;
    }
    in_addr a4{};
    if (inet_pton(AF_INET, s.c_str(), &a4) == 1) {
        out = NetAddress{};
        out.family = AF_INET;
        std::memcpy(out.bytes.data(), &a4, 4);
        return true;
    }
    in6_addr a6{};
    if (inet_pton(AF_INET6, s.c_str(), &a6) == 1) {
        out = fromIpv6(a6, 0, 0);
        return true;
    }
    return false;
}

NetAddress fromSockaddr(const sockaddr* address, socklen_t length) {
    NetAddress a;
    if (!address)
        return a;
    if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto* a4 = reinterpret_cast<const sockaddr_in*>(address);
        a.family = AF_INET;
        std::memcpy(a.bytes.data(), &a4->sin_addr, 4);
        a.port = a4->sin_port;
    } else if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const auto* a6 = reinterpret_cast<const sockaddr_in6*>(address);
        a = fromIpv6(a6->sin6_addr, a6->sin6_port, a6->sin6_scope_id);
    }
    return a;
}

socklen_t toSockaddr(const NetAddress& a, sockaddr_storage& out) {
    out = sockaddr_storage{};
    if (a.family == AF_INET) {
        auto& a4 = reinterpret_cast<sockaddr_in&>(out);
        a4.sin_family = AF_INET;
        a4.sin_port = a.port;
        std::memcpy(&a4.sin_addr, a.bytes.data(), 4);
        return sizeof a4;
    }
    if (a.family == AF_INET6) {
        auto& a6 = reinterpret_cast<sockaddr_in6&>(out);
        a6.sin6_family = AF_INET6;
        a6.sin6_port = a.port;
        std::memcpy(&a6.sin6_addr, a.bytes.data(), 16);
        a6.sin6_scope_id = a.scope;
        return sizeof a6;
    }
    return 0;
}

std::string addressText(const NetAddress& a) {
    char text[INET6_ADDRSTRLEN] = {};
    if (a.family == AF_UNSPEC || !inet_ntop(a.family, a.bytes.data(), text, sizeof text))
        return std::string();
    if (a.family != AF_INET6 || a.scope == 0)
        return text;
    char name[IF_NAMESIZE] = {};
    if (!if_indextoname(a.scope, name))
        return std::string(text) + "%" + std::to_string(a.scope);
    return std::string(text) + "%" + name;
}

std::string endpointText(const NetAddress& a) {
    std::string port = ":" + std::to_string(ntohs(a.port));
    if (a.family == AF_INET6)
        return "[" + addressText(a) + "]" + port;
    return addressText(a) + port;
}

bool digitsAndDots(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (c != '.' && (c < '0' || c > '9'))
            return false;
    return true;
}

bool validHostName(std::string_view text) {
    if (!text.empty() && text.back() == '.')
        text.remove_suffix(1); // the root's dot
    if (text.empty() || text.size() > 253)
        return false;
    std::string_view last;
    for (std::string_view rest = text; !rest.empty();) {
        size_t dot = rest.find('.');
        std::string_view label = rest.substr(0, dot);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label) {
            bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-';
            if (!ok)
                return false;
        }
        last = label;
        if (dot == std::string_view::npos)
            break;
        rest.remove_prefix(dot + 1);
        if (rest.empty())
            return false; // two dots in a row at the end
    }
    // An all-numeric last label is no name: resolvers read "0x7f.1" or
    // "192.168.10" as shorthand addresses.
    if (digitsAndDots(last))
        return false;
    in_addr shorthand{};
    return inet_aton(std::string(text).c_str(), &shorthand) == 0;
}

int resolveHost(const std::string& name, int seconds, std::vector<NetAddress>& out,
                std::string& why, volatile pid_t* running, WaitFn wait) {
    out.clear();
    std::string answer;
    int asked =
        askChild([&](int writer) { resolveInChild(name, writer); }, seconds, answer, running, wait);
    if (asked < 0) {
        why = std::string("no child for the lookup: ") + std::strerror(errno);
        return 1;
    }
    if (asked > 0) {
        why = "no answer within " + std::to_string(seconds) + " s";
        return 1;
    }
    if (answer.starts_with("E")) {
        why = answer.substr(1);
        return 1;
    }
    for (size_t at = 1; at + kRecordSize <= answer.size(); at += kRecordSize) {
        NetAddress a;
        a.family = answer[at] == 4 ? AF_INET : AF_INET6;
        std::memcpy(a.bytes.data(), answer.data() + at + 1, 16);
        std::memcpy(&a.scope, answer.data() + at + 17, sizeof a.scope);
        out.push_back(a);
    }
    if (out.empty()) {
        why = "no address";
        return 1;
    }
    return 0;
}

} // namespace tindrel
