// The internal TIME and SNTP servers' shared state.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tavrel {

// Mask of the running internal servers: 1 TIME, 2 SNTP.
inline constexpr int32_t kTimeServerRunning = 1;
inline constexpr int32_t kSntpServerRunning = 2;
extern std::atomic<int32_t> serverActivity;

// "TIME Server Active", "SNTP Server Active" or both, for the running
// servers; empty when none runs.
std::string serverStateText();

// Asks the running servers to stop; they clear their bits in serverActivity
// as they end.
void stopTimeServers();

}  // namespace tavrel
