// AutoSync and AutoCheck: one window timer (id 10) armed for whichever of
// the two periodic operations falls due first, and the countdown text.
// Periods are reckoned in 64-bit milliseconds, so "every 99 Days" means 99
// days; a period longer than one timer can hold is armed in steps.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/dialog.h"

namespace tavrel {

inline constexpr int kAutoTimerId = 10;
inline constexpr int32_t kAutoNone = 0;
inline constexpr int32_t kAutoCheck = 1;
inline constexpr int32_t kAutoSync = 2;
// Added to autoTimerKind: the countdown must be redrawn on every pass.
inline constexpr int32_t kRedrawMark = 10;
// Commands of the main window that the tray menu also sends.
inline constexpr int kCommandResetAutoTimers = 1009;
// The longest single arming of the window timer.
inline constexpr uint32_t kLongestTimerStepMs = 2'000'000'000;

// The event armed next (kAutoNone, kAutoCheck, kAutoSync), plus kRedrawMark.
extern std::atomic<int32_t> autoTimerKind;
// Tick counts (64-bit ms) at which the current periods began; 0: at the
// next arming.
extern std::atomic<uint64_t> autoSyncStart;
extern std::atomic<uint64_t> autoCheckStart;
// The armed event's period: its start tick and length in ms.
extern std::atomic<uint64_t> countdownBase;
extern std::atomic<uint64_t> countdownPeriod;

// A period in ms: count units of minutes (0), hours (1) or days (other).
uint64_t autoPeriodMs(uint32_t count, int32_t unit);

// Chooses the next event and returns the ms left until it (negative when
// overdue).
int64_t timeUntilNextAuto();
// Sets timer 10 of the window for the next event, never less than a
// minute ahead.
void armAutoTimer(platform::WindowHandle window);
// Timer 10 fired: starts the due operation, or postpones it by 30 s while a
// query or scan runs.
void autoTimerFired(platform::WindowHandle window);
// Restarts both periods from now (the "Reset Auto Timers" command).
void resetAutoTimers(platform::WindowHandle window);
// "3 Hrs 20 Mns until AutoSync": the two largest non-zero units left.
std::string formatCountdown();

void resetAutoTimerState();

}  // namespace tavrel
