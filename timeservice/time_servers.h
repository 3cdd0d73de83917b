// The internal TIME (RFC 868, TCP 37) and SNTP (UDP 123) servers. Both
// start and stop together while timeServerEnabled is set; each answers one
// client at a time from the local clock, shows the client in the status
// line and logs it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/dialog.h"
#include "platform/socket.h"

namespace tavrel {

// Mask of the running internal servers: 1 TIME, 2 SNTP.
inline constexpr int32_t kTimeServerRunning = 1;
inline constexpr int32_t kSntpServerRunning = 2;
extern std::atomic<int32_t> serverActivity;

inline constexpr char kSntpPortError[] =
    "SNTP Server Port Error; Restart in Admin mode or disable Windows Time service.";

// "TIME Server Active", "SNTP Server Active" or both, for the running
// servers; empty when none runs.
std::string serverStateText();

// Starts the TIME server thread and the SNTP server thread; their status
// lines go to the window (none in the service).
void startTimeServers(platform::WindowHandle window);
// Closes both servers' sockets when the servers are enabled; the threads
// end once timeServerEnabled is clear or closeRequested is set.
void stopTimeServers();

// The name shown for a client: its host name, else its dotted-quad address.
// Recent answers are kept, so a client that asks often is looked up once.
std::string clientName(platform::Ipv4Address address);

}  // namespace tavrel
