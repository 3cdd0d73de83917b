// Hooks for tests that drive windows without a screen. None of them costs
// the shown program anything: what a test wants to follow (texts, menus,
// message boxes) it follows with a backend of its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gui/dialog.h"

namespace tavrel::gui::testing {

// Timers fire only through fireTimer while manual timers are on.
void useManualTimers(bool manual);
// The period a timer was set to, or 0 when it is not set.
uint32_t timerPeriod(WindowHandle window, int id);
// Queues the timer's message as if it had come due.
void fireTimer(WindowHandle window, int id);
// Hands a message straight to the window's procedure (UI thread).
intptr_t sendMessage(WindowHandle window, const WindowMessage& message);
// Destroys every window and forgets queued messages, timers and the quit
// request.
void resetDialogManager();

}  // namespace tavrel::gui::testing
