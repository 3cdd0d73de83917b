// What the shared part of the system events needs of each platform's
// watch, and what it gives it. Internal to the platform layer.
#pragma once

#include <cstdint>
#include <functional>

namespace tavrel::platform::system_events {

// The wake-up of the watch that stands (empty: none), called after each
// event is queued.
void setWake(std::function<void()> wake);
// Time since boot, counting time asleep, in 100-ns units: the system's own
// clock, never a test's stand-in for the tick count, so that a test that
// moves the tick is not taken for a step of the wall clock.
int64_t bootTimeUnits();
// A new watch measures steps from the clock as it stands when it starts,
// with no step of this process outstanding.
void startMeasuring();

}  // namespace tavrel::platform::system_events
