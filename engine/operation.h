// The sync operation's shared words.
#pragma once

#include <atomic>
#include <cstdint>

namespace tavrel {

// 0 idle; 1 an operation or scan runs and a query may start; 2 a query is
// in flight; 99 stop requested.
inline constexpr int32_t kSyncIdle = 0;
inline constexpr int32_t kSyncActive = 1;
inline constexpr int32_t kSyncQueryInFlight = 2;
inline constexpr int32_t kSyncStopRequested = 99;
extern std::atomic<int32_t> syncState;

// 1 while the running operation is a Correct, 0 for a Check.
extern std::atomic<int32_t> correctMode;

}  // namespace tavrel
