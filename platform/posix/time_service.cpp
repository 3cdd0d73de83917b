#include "platform/time_service.h"

#include "platform/file.h"
#include "platform/process.h"

namespace tavrel::platform {
namespace {

constexpr const char* kCandidates[] = {"chrony.service", "chronyd.service", "ntpsec.service",
                                       "ntp.service",    "ntpd.service",    "openntpd.service"};

bool systemdRunning() { return directoryExists("/run/systemd/system"); }

}  // namespace

std::string runningTimeService() {
    if (!systemdRunning()) return std::string();
    for (const char* unit : kCandidates) {
        if (runProgram({"systemctl", "is-active", "--quiet", unit}) == 0) return unit;
    }
    return std::string();
}

void stopTimeService(const std::string& service) {
    if (!service.empty()) (void)runProgram({"systemctl", "stop", "--no-block", service});
}

void startTimeService(const std::string& service) {
    if (!service.empty()) (void)runProgram({"systemctl", "start", "--no-block", service});
}

}  // namespace tavrel::platform
