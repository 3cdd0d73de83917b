// The parts of the wall clock that every platform shares: the test seams
// that replace the wall clock and the tick count, and the simulated clock.
// With TAVREL_CLOCK_FILE set, the wall clock is the real UTC clock plus a
// signed offset in 100-ns units kept in that file (a missing or unreadable
// file means no offset), and setting the clock rewrites the offset only.
// Internal to the platform layer.
#pragma once

#include <cstdint>

#include "platform/time.h"

namespace tavrel::platform::clock_file {

// The simulated clock's file, or nullptr when the real clock is in use.
const char* simulatedClockPath();

// The UTC wall clock: the test seam's when one is set, else the real clock
// moved by the simulated clock's offset.
FileTime wallClock(FileTime (*realUtcNow)());
// True when neither a test seam nor the simulated clock stands in for the
// real wall clock, so the system's own calls may be used directly.
bool wallClockIsReal();
// Makes the simulated clock in `path` read `utc`, given the real clock now.
[[nodiscard]] bool setSimulatedClock(const char* path, FileTime utc, FileTime realNow);

// The synchronisation the simulated clock in `path` was told of (kept in
// `path` + ".sync": "synchronised max-error-us est-error-us"), and telling it.
ClockSyncState simulatedSyncState(const char* path);
[[nodiscard]] bool setSimulatedSyncState(const char* path, const ClockSyncState& state);

// The tick count: the test seam's when one is set, else the real one.
uint64_t tickCount(uint64_t (*realTicks)());

}  // namespace tavrel::platform::clock_file
