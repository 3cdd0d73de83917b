// The dialog manager's backend for a Linux desktop: every window of the
// shared model becomes a GTK 3 window with real widgets, the tray entry a
// StatusNotifierItem.
#pragma once

#include <memory>

#include "gui/dialog_backend.h"

namespace tavrel::gui {

// True when a display can be opened (WAYLAND_DISPLAY or DISPLAY names one
// that GTK can reach).
bool desktopAvailable();
std::unique_ptr<DialogBackend> makeGtkBackend();

}  // namespace tavrel::gui
