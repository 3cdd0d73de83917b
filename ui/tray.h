// The notification-area entry that stands for the hidden main window, its
// tip, and the popup menu of the icon and of the window.
#pragma once

#include <cstdint>
#include <string>

#include "gui/dialog.h"
#include "resources/program_name.h"

namespace tavrel {

struct WindowProgram;


// Hides the window and (unless "/s" suppressed it) shows the icon.
void hideToTray(WindowProgram& program, gui::WindowHandle window);
// While in the tray, every second: the tip follows the countdown.
void refreshTrayTip(const WindowProgram& program, gui::WindowHandle window);
// The tip: the countdown (or the program title) and the server state.
std::string trayTipText(const WindowProgram& program);
// A mouse event on the icon (the id of the icon, the mouse message).
void onTrayCallback(WindowProgram& program, gui::WindowHandle window, int iconId, int mouseMessage);
// The popup menu: About, Help, Reset Auto Timers (while armed), Sync Now, Exit.
void showTrayMenu(const WindowProgram& program, gui::WindowHandle window);
// The notification area came back: show the icon again while in the tray.
void onTaskbarCreated(const WindowProgram& program, gui::WindowHandle window);

}  // namespace tavrel
