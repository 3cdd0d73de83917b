// The system events on Windows. The window procedure raises a wake
// (WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC) and notices a set clock
// (WM_TIMECHANGE); the service's control handler raises a wake from its
// power event. The watch itself asks the IP helper for interface and route
// changes, whose callbacks come on the system's own threads.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>
#include <windows.h>

#include "platform/system_events.h"

#include <string>

#include "platform/system_events_source.h"

namespace tavrel::platform {
namespace {

void WINAPI onInterfaceChange(PVOID, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE type) {
    if (type != MibInitialNotification) raiseSystemEvent(SystemEvent{SystemEventKind::NetworkChanged});
}

void WINAPI onRouteChange(PVOID, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE type) {
    if (type == MibAddInstance) raiseSystemEvent(SystemEvent{SystemEventKind::NetworkChanged});
}

}  // namespace

struct SystemEventWatch::Impl {
    HANDLE interfaces = nullptr;
    HANDLE routes = nullptr;
};

SystemEventWatch::SystemEventWatch(std::function<void()> wake) : impl_(std::make_unique<Impl>()) {
    system_events::setWake(std::move(wake));
    system_events::startMeasuring();
    (void)NotifyIpInterfaceChange(AF_UNSPEC, onInterfaceChange, nullptr, FALSE, &impl_->interfaces);
    (void)NotifyRouteChange2(AF_UNSPEC, onRouteChange, nullptr, FALSE, &impl_->routes);
}

SystemEventWatch::~SystemEventWatch() {
    // Returns once no callback runs any more.
    if (impl_->interfaces != nullptr) CancelMibChangeNotify2(impl_->interfaces);
    if (impl_->routes != nullptr) CancelMibChangeNotify2(impl_->routes);
    system_events::setWake({});
}

namespace system_events {

// GetTickCount64 counts time asleep; read here directly, never through the
// tick count's test seam.
int64_t bootTimeUnits() { return static_cast<int64_t>(GetTickCount64()) * 10'000; }

}  // namespace system_events

bool routeExists(const char* address) {
    std::string text = address != nullptr ? address : "";
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    sockaddr_storage storage{};
    int length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(123);
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(123);
        length = sizeof *v6;
    } else {
        return true;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return true;
    bool exists = true;
    const SOCKET probe = socket(storage.ss_family, SOCK_DGRAM, IPPROTO_UDP);
    if (probe != INVALID_SOCKET) {
        // A UDP connect only picks the route: nothing is sent.
        if (connect(probe, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
            const int error = WSAGetLastError();
            exists = error != WSAENETUNREACH && error != WSAEHOSTUNREACH;
        }
        closesocket(probe);
    }
    WSACleanup();
    return exists;
}

}  // namespace tavrel::platform
