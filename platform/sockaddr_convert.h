// NetAddress to and from the system's socket addresses, the same on Linux
// and Windows. Included by each system's socket code after its own socket
// headers (which declare sockaddr_in, sockaddr_in6, htons, inet_pton,
// getaddrinfo and the rest).
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "platform/socket.h"

namespace tavrel::platform {

// Fills `out` with the address; its length in bytes.
inline int toSockaddr(const NetAddress& address, sockaddr_storage& out) {
    out = sockaddr_storage{};
    if (address.family == AddressFamily::V6) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(&out);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(address.port);
        std::memcpy(&sa->sin6_addr, address.bytes, 16);
        return static_cast<int>(sizeof(sockaddr_in6));
    }
    auto* sa = reinterpret_cast<sockaddr_in*>(&out);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(address.port);
    std::memcpy(&sa->sin_addr, address.bytes, 4);
    return static_cast<int>(sizeof(sockaddr_in));
}

inline NetAddress fromSockaddr(const sockaddr* sa) {
    NetAddress address;
    if (sa->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(sa);
        address.family = AddressFamily::V6;
        std::memcpy(address.bytes, &v6->sin6_addr, 16);
        address.port = ntohs(v6->sin6_port);
    } else if (sa->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(sa);
        std::memcpy(address.bytes, &v4->sin_addr, 4);
        address.port = ntohs(v4->sin_port);
    }
    return address;
}

// An IPv6 literal, bare or in brackets ("::1", "[2001:db8::1]"), or an IPv4
// address in the forms parseIpv4Address takes.
inline bool parseAddressText(const std::string& text, NetAddress& out) {
    std::string bare = text;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
    in6_addr v6{};
    if (inet_pton(AF_INET6, bare.c_str(), &v6) == 1) {
        out = NetAddress::any(AddressFamily::V6);
        std::memcpy(out.bytes, &v6, 16);
        return true;
    }
    Ipv4Address v4 = 0;
    if (bare != text || !parseIpv4Address(text, v4)) return false;
    out = NetAddress::v4(v4);
    return true;
}

// Every address of a name, IPv6 and IPv4, in the resolver's order, each
// host once (the resolver lists a host again for each socket type).
inline std::vector<NetAddress> lookUpAddresses(const std::string& name) {
    std::vector<NetAddress> addresses;
    if (name.empty()) return addresses;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0) return addresses;
    for (const addrinfo* a = result; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
        const NetAddress address = fromSockaddr(a->ai_addr);
        bool seen = false;
        for (const NetAddress& earlier : addresses) seen = seen || earlier.sameHost(address);
        if (!seen) addresses.push_back(address);
    }
    freeaddrinfo(result);
    return addresses;
}

}  // namespace tavrel::platform
