// The time zone: reading it at every look, restoring a locked zone that
// somebody changed, naming the current phase for the main window's caption,
// and the texts that describe a zone's offsets and transitions.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/time.h"

namespace tavrel {

// 0 standard time, 1 daylight time (also for zones without daylight saving).
// Written by whoever refreshes the zone: the window thread in the window
// program, the supervisor in the service. Process-wide: it is the machine's
// zone's phase, kept beside the zone read into the settings record.
extern std::atomic<int32_t> timeZonePhase;

// Restores a locked zone if its Bias changed, then reads the zone in force
// into the settings, sets the phase and the display name (kept when the
// zone has none). Returns the main window's caption naming the phase in
// force; none when the zone could not be read, or in the service, which
// has no window.
std::optional<std::string> refreshTimeZone();
// The lock: a zone whose Bias differs from the locked one is set back (from
// the zone's own rules, kept when it was locked, where the system keeps
// zones as files).
void enforceTimeZoneLock();
// Locks or unlocks the zone in force (the time-zone dialog's box).
void lockTimeZone(bool locked);

// "+ 10 Hrs", "- 1 Hr", "+ 9 Hrs 30 Mns", "None" for 0.
std::string formatBias(int32_t minutes);
// The transition's time and date ("None" when the month is 0). A yearly
// rule (year 0) is resolved against `today`.
std::string formatTransition(const platform::SystemTime& date, const platform::SystemTime& today);
// The date a yearly rule (month, week 1-5 with 5 the last, day of week)
// falls on, in this year or, when its month has passed, the next.
platform::SystemTime transitionDate(const platform::SystemTime& rule, const platform::SystemTime& today);

}  // namespace tavrel
