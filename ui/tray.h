// The notification-area entry that stands for the hidden main window, its
// tip, and the popup menu of the icon and of the window.
#pragma once

#include <string>

#include "platform/dialog.h"

namespace tavrel {

inline constexpr char kProgramTitle[] = "Tavrel 1.5";

// Hides the window and (unless "/s" suppressed it) shows the icon.
void hideToTray(platform::WindowHandle window);
// The tip: the countdown (or the program title) and the server state.
std::string trayTipText();
// A mouse event on the icon (the id of the icon, the mouse message).
void onTrayCallback(platform::WindowHandle window, int iconId, int mouseMessage);
// The popup menu: About, Help, Reset Auto Timers (while armed), Sync Now, Exit.
void showTrayMenu(platform::WindowHandle window);
// The notification area came back: show the icon again while in the tray.
void onTaskbarCreated(platform::WindowHandle window);

}  // namespace tavrel
