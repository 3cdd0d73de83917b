// What the supervisor draws into the main window between operations: the
// "Ready" line, the clocks, the AutoSync/AutoCheck countdown and the
// server's clock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/dialog.h"
#include "platform/time.h"

namespace tavrel {

// Shown 0 (visible), Minimised 1, InTray 2; the service sets kWindowService.
inline constexpr int32_t kWindowShown = 0;
inline constexpr int32_t kWindowMinimised = 1;
inline constexpr int32_t kWindowInTray = 2;
inline constexpr int32_t kWindowService = 99;
extern std::atomic<int32_t> windowState;
// 0..30, advanced once per pass while shown; the countdown is redrawn at 0.
extern std::atomic<int32_t> countdownTick;

// A clock text: the time, a line break and the long date.
std::string clockText(const platform::SystemTime& local);

// The idle branch of a supervisor pass.
void idleDisplayPass(platform::WindowHandle window);
// Advances the server's clock while it runs and shows it while the window
// is shown.
void serverClockPass(platform::WindowHandle window);

}  // namespace tavrel
