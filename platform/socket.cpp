// The parts of the socket functions that are the same on every platform.
#include "platform/socket.h"

#include <string>

namespace tavrel::platform {

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
