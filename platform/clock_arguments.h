// What the calls that read, set and slew the real clock are given, worked
// out from a FileTime or an offset in 100-ns units. Plain values, built on
// every system, so that their signs and units can be checked without a
// clock being touched: the calls themselves (platform/*/time.cpp) only copy
// them into the system's own structures.
#pragma once

#include <cstdint>

#include "platform/time.h"

namespace tavrel::platform {

// A count of seconds and a fraction of one, in the unit its use names.
struct SecondsAndFraction {
    int64_t seconds = 0;
    int64_t fraction = 0;
};

// adjtime's delta for a slew of `units`: the fraction in microseconds,
// within a second either way, and both parts carrying the offset's sign
// (adjtime adds them up: -1.5 s is -1 s and -500000 us).
SecondsAndFraction slewDeltaMicroseconds(int64_t units);
// The offset adjtimex adds for a step of `units` (ADJ_SETOFFSET with
// ADJ_NANO): the fraction in nanoseconds is never negative, so a step back
// has its seconds rounded down (-1.5 s is -2 s and +500000000 ns).
SecondsAndFraction stepOffsetNanoseconds(int64_t units);
// The Unix time (seconds, nanoseconds) clock_settime is given for `utc`;
// false for a time before 1970, which it cannot take.
[[nodiscard]] bool unixTimeOf(FileTime utc, SecondsAndFraction& out);
// The FileTime of a Unix time read from the system (seconds, nanoseconds).
FileTime fileTimeOfUnix(int64_t seconds, int64_t nanoseconds);
// The time a step of `units` sets where the system can only set the clock,
// not add to it (Windows): the clock read just before, moved by `units`.
FileTime stepTarget(FileTime now, int64_t units);

// A Windows slew: each clock interrupt adds `rate` units instead of the
// usual `increment` for `ms` milliseconds. ms 0: nothing to slew.
struct SlewAdjustment {
    uint32_t rate = 0;
    uint64_t ms = 0;
};
// Slews by `units` at 500 ppm of the interrupt's increment (at least one
// unit a tick).
SlewAdjustment slewAdjustment(uint32_t increment, int64_t units);

}  // namespace tavrel::platform
