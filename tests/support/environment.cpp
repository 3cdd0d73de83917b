#include "tests/support/environment.h"

#include <memory>

#include "platform/socket.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace tavrel::test {

bool runningUnderWine() {
#ifdef _WIN32
    // Wine's ntdll has an export that Windows' does not.
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

bool ipv6LoopbackAvailable() {
    const platform::SocketLibraryUse library;
    const std::shared_ptr<platform::Socket> socket =
        library.ready() ? platform::Socket::create(platform::SocketKind::Udp, platform::AddressFamily::V6) : nullptr;
    if (!socket) return false;
    platform::NetAddress loopback = platform::NetAddress::any(platform::AddressFamily::V6);
    loopback.bytes[15] = 1;
    return socket->bind(loopback);
}

}  // namespace tavrel::test
