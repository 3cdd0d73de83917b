// Hooks for tests that drive windows without a screen.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gui/dialog.h"

namespace tavrel::gui::testing {

// Every text a control has shown, oldest first (its template text first).
std::vector<std::string> textHistory(WindowHandle window, int id);
void clearTextHistory(WindowHandle window, int id);
// Timers fire only through fireTimer while manual timers are on.
void useManualTimers(bool manual);
// The period a timer was set to, or 0 when it is not set.
uint32_t timerPeriod(WindowHandle window, int id);
// Queues the timer's message as if it had come due.
void fireTimer(WindowHandle window, int id);
// Hands a message straight to the window's procedure (UI thread).
intptr_t sendMessage(WindowHandle window, const WindowMessage& message);
// The message boxes shown so far ("caption: text").
std::vector<std::string> shownMessageBoxes();
// The items of the popup menus shown so far, one text per menu ("About|Help|-|Exit").
std::vector<std::string> shownMenus();
// The command the next popup menu returns (0: none chosen).
void chooseFromNextMenu(int command);
// Destroys every window and forgets queued messages, timers and the quit
// request.
void resetDialogManager();

}  // namespace tavrel::gui::testing
