// The system's own time service, which may hold the SNTP port (on Windows
// "W32Time"; on Linux a chrony, ntpsec/ntp or openntpd unit of systemd).
// Failures are ignored, as the callers expect.
#pragma once

#include <cstdint>
#include <string>

namespace tavrel::platform {

// Who holds a local UDP port, as far as the system tells.
struct PortHolder {
    int pid = 0;          // 0 when the process is not known
    std::string program;  // its name, when known
    // The system's time service the holder belongs to (the one to stop to
    // have the port), or empty when it is none of them.
    std::string service;
};
PortHolder udpPortHolder(uint16_t port);
// What to tell the user when the SNTP port cannot be had and its holder is
// not known.
std::string sntpPortAdvice();

// The unit of the local time service that is running, or empty.
std::string runningTimeService();
// Sends the service the stop request (does not wait).
void stopTimeService(const std::string& service);
// Starts the service (does not wait).
void startTimeService(const std::string& service);

}  // namespace tavrel::platform
