// The internal TIME (RFC 868, TCP 37) and SNTP (UDP 123) servers. Both
// start and stop together; each answers its clients a batch at a time from
// the local clock and hands them to the reports (status line, log, names),
// which never stand in front of an answer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/time_service.h"
#include "timeservice/client_reports.h"

namespace tavrel {

// Mask of the running internal servers: 1 TIME, 2 SNTP; each server thread
// sets and clears its own bit. Process-wide, as the servers are (below).
inline constexpr int32_t kTimeServerRunning = 1;
inline constexpr int32_t kSntpServerRunning = 2;
extern std::atomic<int32_t> serverActivity;

// "SNTP Server Port Error; " and who holds UDP 123 ("held by chronyd (pid
// 412)"), or the system's advice when that is not known.
std::string sntpPortErrorText(const platform::PortHolder& holder);

// How the SNTP server learns who holds its port, and stops and starts the
// system's time service when that is the holder: the system's own calls,
// unless a test gives its own. Set only while the servers are stopped.
struct LocalTimeServiceControl {
    std::function<platform::PortHolder(uint16_t)> holder = platform::udpPortHolder;
    std::function<void(const std::string&)> stop = platform::stopTimeService;
    std::function<void(const std::string&)> start = platform::startTimeService;
};
void setLocalTimeServiceControl(LocalTimeServiceControl control);

// Said (once a shortage) when TIME clients wait and no descriptor is to be
// had to take them.
inline constexpr char kTimeAcceptError[] =
    "TIME Server cannot take connections: out of descriptors or memory; waiting for some to free.";
// Said when it takes connections again after such a shortage (the log may
// have had no descriptor to write the shortage down).
inline constexpr char kTimeAcceptRecovered[] = "TIME Server takes connections again after running out of descriptors.";

// "TIME Server Active", "SNTP Server Active" or both, for the running
// servers; empty when none runs.
std::string serverStateText();

// Starts the TIME server thread and the SNTP server thread (after the
// threads of an earlier start have ended). A port that cannot be had is
// said through `trouble` (else the sink) and the log.
void startTimeServers(ServerStatusSink sink, ServerStatusSink trouble = {});
// Asks both servers to stop and closes their sockets; does not wait.
void stopTimeServers();
// Waits until both server threads have ended.
void joinTimeServers();

}  // namespace tavrel
