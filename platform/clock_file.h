// The parts of the wall clock that every platform shares: the test seams
// that replace the wall clock and the tick count, and the simulated clock.
// With TAVREL_CLOCK_FILE set, the wall clock is the real UTC clock plus a
// signed offset in 100-ns units kept in that file (a missing or unreadable
// file means no offset), and setting the clock rewrites the offset only.
// A slew in progress follows the offset on the same line: its amount, the
// real time it began and its duration, all in 100-ns units; the clock gains
// (or loses) the amount evenly over the duration, as a kernel slews.
// The clock may also run at a rate, given by named fields after those:
//   OFFSET [SLEW_AMOUNT SLEW_START SLEW_DURATION] [natural=PPM] [correction=PPM] [base=REAL]
// natural= is the clock's own frequency error (a test writes it: > 0 runs
// fast), correction= the program's rate correction (setClockFrequency
// writes it), both in ppm (decimal, '.' for the point), and base= the real
// UTC time (100-ns units since 1601) from which the rate counts: the
// reading then gains (natural + correction) millionths of the real time
// passed since base. Whenever either figure changes, the gain so far goes
// into the offset and base moves to the moment, so the reading never
// jumps. Without base= the figures wait: the clock runs at the real clock's
// rate until setClockFrequency gives it a base. Files of the older forms (an offset, or an offset and a
// slew) read as before.
// Internal to the platform layer.
#pragma once

#include <cstdint>

#include "platform/time.h"

namespace tavrel::platform::clock_file {

// The simulated clock's file, or nullptr when the real clock is in use.
const char* simulatedClockPath();
// True when TAVREL_CLOCK_NO_RIGHT=1 withholds the right to set the
// simulated clock from this process, as the real clock's is withheld from
// a user's program: the privilege is then not held and setting the
// simulated clock (or its synchronisation) fails, the file untouched.
bool simulatedRightWithheld();

// The UTC wall clock: the test seam's when one is set, else the real clock
// moved by the simulated clock's offset.
FileTime wallClock(FileTime (*realUtcNow)());
// True when neither a test seam nor the simulated clock stands in for the
// real wall clock, so the system's own calls may be used directly.
bool wallClockIsReal();
// What the simulated clock's file holds.
struct SimulatedClock {
    int64_t offset = 0;
    int64_t slewAmount = 0;
    FileTime slewStart = 0;     // real UTC
    int64_t slewDuration = 0;  // > 0 while a slew is recorded
    double naturalPpm = 0;
    double correctionPpm = 0;
    FileTime rateBase = 0;  // real UTC; 0: no rate
    // The part of the slew gained by the real time `realNow`: none before
    // it began, all of it once its duration has passed.
    int64_t slewedBy(FileTime realNow) const;
    // What the rate has gained (or lost) since rateBase by `realNow`.
    int64_t rateGain(FileTime realNow) const;
    // The simulated clock's reading at the real time `realNow`.
    FileTime reading(FileTime realNow) const {
        return realNow + static_cast<FileTime>(offset + slewedBy(realNow) + rateGain(realNow));
    }
};
SimulatedClock readSimulatedClock(const char* path);
// Makes the simulated clock in `path` read `utc`, given the real clock now;
// a slew in progress ends.
[[nodiscard]] bool setSimulatedClock(const char* path, FileTime utc, FileTime realNow);
// Moves the simulated clock by `units` at once: the offset alone changes,
// so no time passes between reading the clock and setting it. What a slew
// in progress has gained stays; the rest of it is dropped.
[[nodiscard]] bool stepSimulatedClock(const char* path, int64_t units, FileTime realNow);
// Starts a slew of `units` over `duration` (100-ns units) from the real
// time `realNow`, in place of one in progress (whose gain so far stays).
[[nodiscard]] bool slewSimulatedClock(const char* path, int64_t units, int64_t duration, FileTime realNow);
// Ends a slew in progress by stepping the part of it not yet made at the
// real time `realNow`, so the clock reads then what it would once the slew
// had run its course.
SlewAtExit finishSimulatedSlew(const char* path, FileTime realNow);

// Sets the program's rate correction of the simulated clock in `path`
// from the real time `realNow`, re-basing the rate so the reading stays
// continuous.
[[nodiscard]] bool setSimulatedFrequency(const char* path, double correctionPpm, FileTime realNow);

// The synchronisation the simulated clock in `path` was told of (kept in
// `path` + ".sync": "synchronised max-error-us est-error-us"), and telling it.
ClockSyncState simulatedSyncState(const char* path);
[[nodiscard]] bool setSimulatedSyncState(const char* path, const ClockSyncState& state);
// The leap second the simulated clock in `path` was told of (kept in
// `path` + ".leap": the leap indicator, 0, 1 or 2), and telling it.
LeapState simulatedLeap(const char* path);
[[nodiscard]] bool setSimulatedLeap(const char* path, LeapState leap);

// The tick count: the test seam's when one is set, else the real one.
uint64_t tickCount(uint64_t (*realTicks)());

}  // namespace tavrel::platform::clock_file
