// A window's notification-area entry on today's Linux desktops: a
// StatusNotifierItem on the session bus, registered with the desktop's
// StatusNotifierWatcher, with the program's icon, a tooltip and a menu
// (com.canonical.dbusmenu).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gui/dialog.h"

namespace tavrel::gui::gtk {

// Whether the session bus has a StatusNotifierWatcher (a desktop that
// shows such entries).
bool trayHostPresent();

// What the entry reports: a menu item's command, or kActivated for a
// click on the entry itself.
inline constexpr int kActivated = -1;

class TrayEntry {
public:
    explicit TrayEntry(std::function<void(int)> chosen);
    ~TrayEntry();
    TrayEntry(const TrayEntry&) = delete;
    TrayEntry& operator=(const TrayEntry&) = delete;

    // Shows the entry (registering it on first use) with the tip: its
    // first line is the tooltip's title, the rest its text.
    void show(const std::string& tip);
    // Takes the entry off the desktop.
    void hide();
    void setMenu(const std::vector<MenuItem>& items);

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace tavrel::gui::gtk
