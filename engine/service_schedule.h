// The supervisor's own steps in the service, where there is no window
// timer: the service's defaults and start line, and its AutoSync countdown.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tavrel {

// Milliseconds left until the service's next AutoSync (0: reload at the
// next idle pass), and the tick of the last countdown step.
extern std::atomic<uint64_t> serviceAutoSyncLeft;
extern std::atomic<uint64_t> serviceAutoSyncTick;

// AutoCheck off; AutoSync every 4 hours when nothing else would run; the
// "Started Service, ..." line, logged whatever the log settings say. (The
// service sets its 30-s wait before the supervisor starts, so that an
// operation started at once keeps its own shorter wait.)
void serviceStartSteps();
// The text of that line.
std::string serviceStartText();
// One idle pass of the countdown; starts a Correct when it runs out.
void serviceAutoSyncPass();

}  // namespace tavrel
