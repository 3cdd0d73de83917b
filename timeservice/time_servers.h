// The internal TIME (RFC 868, TCP 37) and SNTP (UDP 123) servers. Both
// start and stop together; each answers one client at a time from the local
// clock, reports the client for the status line and logs it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/socket.h"

namespace tavrel {

// Mask of the running internal servers: 1 TIME, 2 SNTP; each server thread
// sets and clears its own bit.
inline constexpr int32_t kTimeServerRunning = 1;
inline constexpr int32_t kSntpServerRunning = 2;
extern std::atomic<int32_t> serverActivity;

inline constexpr char kSntpPortError[] =
    "SNTP Server Port Error; Restart in Admin mode or disable Windows Time service.";

// Where the servers' status lines go ("TIME Server Tavreled client", the
// port error); called from the server threads. Empty: nowhere.
using ServerStatusSink = std::function<void(std::string)>;

// "TIME Server Active", "SNTP Server Active" or both, for the running
// servers; empty when none runs.
std::string serverStateText();

// Starts the TIME server thread and the SNTP server thread (after the
// threads of an earlier start have ended).
void startTimeServers(ServerStatusSink sink);
// Asks both servers to stop and closes their sockets; does not wait.
void stopTimeServers();
// Waits until both server threads have ended.
void joinTimeServers();

// The name shown for a client: its host name, else its dotted-quad address.
// Recent answers are kept, so a client that asks often is looked up once.
std::string clientName(platform::Ipv4Address address);

}  // namespace tavrel
