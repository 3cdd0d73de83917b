// The notification-area entry that stands for the hidden main window, its
// tip, and the popup menu of the icon and of the window.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/time.h"
#include "protocol/server_replies.h"
#include "storage/history.h"

#include "gui/dialog.h"
#include "resources/program_name.h"

namespace tavrel {

struct WindowProgram;


// The status line's word, once, where the desktop shows no notification area.
inline constexpr const char* kNoTrayAreaText = "No notification area on this desktop; Tavrel stays in the task bar";
// Hides the window and (unless "/s" suppressed it) shows the icon; on a
// desktop without a notification area the window is minimised instead.
void hideToTray(WindowProgram& program, gui::WindowHandle window);
// While in the tray, every second: the tip follows the countdown.
void refreshTrayTip(const WindowProgram& program, gui::WindowHandle window);
// The tip: the countdown (or the program title), the clock at a glance
// and the server state.
std::string trayTipText(const WindowProgram& program);
// Whether the clock counts as synchronised, and the last good Check or
// Correct: when, from which server (NTS where authenticated), the offset
// found and its error bound.
std::string clockAtAGlance(const ClockStanding& standing, const std::optional<HistoryEntry>& last,
                           platform::FileTime now);
// Shows the window again and takes the icon away (a click on the icon, the
// menu's Restore).
void restoreFromTray(WindowProgram& program, gui::WindowHandle window);
// A mouse event on the icon (the id of the icon, the mouse message).
void onTrayCallback(WindowProgram& program, gui::WindowHandle window, int iconId, int mouseMessage);
// The popup menu: Restore (while in the tray: the way back to the window
// where a click on the entry is not at hand), About, Help, History, Reset
// Auto Timers (while armed), Sync Now, Exit.
void showTrayMenu(const WindowProgram& program, gui::WindowHandle window);
// The notification area came back: show the icon again while in the tray.
void onTaskbarCreated(const WindowProgram& program, gui::WindowHandle window);

}  // namespace tavrel
