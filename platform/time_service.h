// The system's own time service, which may hold the SNTP port (on Windows
// "W32Time"; on Linux an active chrony, ntpsec/ntp or openntpd unit found
// through systemd). Failures are ignored, as the callers expect.
#pragma once

#include <string>

namespace tavrel::platform {

// The unit of the local time service that is running, or empty.
std::string runningTimeService();
// Sends the service the stop request (does not wait).
void stopTimeService(const std::string& service);
// Starts the service (does not wait).
void startTimeService(const std::string& service);

}  // namespace tavrel::platform
