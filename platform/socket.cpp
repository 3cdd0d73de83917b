// The parts of the socket functions that are the same on every platform.
#include "platform/socket.h"

#include <string>

namespace tavrel::platform {

std::string dottedQuad(Ipv4Address address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

}  // namespace tavrel::platform
