// The parts of the socket functions that are the same on every platform.
#include "platform/socket.h"

#include <string>

namespace tavrel::platform {

NetAddress NetAddress::v4(Ipv4Address address, uint16_t port) {
    NetAddress a;
    a.family = AddressFamily::V4;
    a.bytes[0] = static_cast<uint8_t>(address >> 24);
    a.bytes[1] = static_cast<uint8_t>(address >> 16);
    a.bytes[2] = static_cast<uint8_t>(address >> 8);
    a.bytes[3] = static_cast<uint8_t>(address);
    a.port = port;
    return a;
}

NetAddress NetAddress::any(AddressFamily family, uint16_t port) {
    NetAddress a;
    a.family = family;
    a.port = port;
    return a;
}

Ipv4Address NetAddress::ipv4() const {
    return (static_cast<Ipv4Address>(bytes[0]) << 24) | (static_cast<Ipv4Address>(bytes[1]) << 16) |
           (static_cast<Ipv4Address>(bytes[2]) << 8) | bytes[3];
}

bool NetAddress::sameHost(const NetAddress& other) const {
    if (family != other.family) return false;
    const size_t size = family == AddressFamily::V4 ? 4 : 16;
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != other.bytes[i]) return false;
    }
    return true;
}

bool isDottedQuad(std::string_view text) {
    int parts = 0;
    size_t at = 0;
    while (parts < 4) {
        size_t digits = 0;
        unsigned value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0 || value > 255) return false;
        ++parts;
        if (parts == 4) break;
        if (at >= text.size() || text[at] != '.') return false;
        ++at;
    }
    return at == text.size();
}

std::string dottedQuad(Ipv4Address address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

}  // namespace tavrel::platform
