// The supervisor: the program's one long-lived background thread. In
// passes it advances the running operation by one step or refreshes the
// idle display, advances the server clock, then waits on wakeEvent for at
// most refreshPeriod milliseconds.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/dialog.h"
#include "platform/thread.h"

namespace tavrel {

// Set by every thread that changes something the supervisor shows or waits
// for; the supervisor resets it after each wait, so several wake-ups during
// one pass give one early pass.
extern platform::ManualResetEvent wakeEvent;
// Longest wait between passes: 500 ms while the window is shown, 30000 while
// minimised, in the tray or in the service, 100 while an operation runs.
extern std::atomic<uint32_t> refreshPeriod;
// Ends the loop at the end of the current pass.
extern std::atomic<int32_t> closeRequested;
// Passes the last status message stays before the idle display replaces it.
extern std::atomic<uint32_t> statusHold;

inline constexpr int kCommandSupervisorEnded = 2031;
inline constexpr uint32_t kRefreshShownMs = 500;
inline constexpr uint32_t kRefreshHiddenMs = 30000;
inline constexpr uint32_t kRefreshOperationMs = 100;

// Starts the supervisor thread for the window (none in the service).
void startSupervisor(platform::WindowHandle window);
// One pass: operation work or idle display, then the server clock.
void supervisorPass(platform::WindowHandle window);
// Waits for the supervisor thread to end (tests and the service's stop).
void joinSupervisor();

// Tests: called at the start of every pass with the pass number (from 1).
void setSupervisorPassObserver(std::function<void(uint64_t)> observer);

}  // namespace tavrel
