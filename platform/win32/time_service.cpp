// The Windows time service, W32Time, through the service manager.
#include "platform/time_service.h"

#include "platform/service_manager.h"

namespace tavrel::platform {
namespace {

constexpr char kWindowsTimeService[] = "W32Time";

}  // namespace

// Which process holds a port is not looked up here: a running W32Time is
// taken to be the holder, as it is the one that takes UDP 123.
PortHolder udpPortHolder(uint16_t) {
    PortHolder holder;
    holder.service = runningTimeService();
    return holder;
}

std::string sntpPortAdvice() { return "Restart in Admin mode or disable Windows Time service."; }

std::string runningTimeService() {
    bool installed = false;
    bool running = false;
    if (!queryService(kWindowsTimeService, installed, running) || !running) return std::string();
    return kWindowsTimeService;
}

void stopTimeService(const std::string& service) {
    if (!service.empty()) stopService(service);
}

void startTimeService(const std::string& service) {
    if (!service.empty()) startService(service);
}

}  // namespace tavrel::platform
