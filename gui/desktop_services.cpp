// What the desktop offers the windows, through the backend: the
// notification-area entry, popup menus, message boxes and programs run in
// the terminal.
#include <mutex>

#include "gui/dialog.h"
#include "gui/dialog_backend.h"
#include "gui/dialog_testing.h"
#include "gui/window_model.h"

namespace tavrel::gui {

using namespace model;

void trayAddIcon(WindowHandle window, std::string_view tip) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    const auto it = m.windows.find(window);
    if (it == m.windows.end()) return;
    it->second->trayIcon = true;
    it->second->trayTip.assign(tip.substr(0, kTrayTipLength));
    notifyChanged(m, window);
}

void trayUpdateTip(WindowHandle window, std::string_view tip) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    const auto it = m.windows.find(window);
    if (it == m.windows.end() || !it->second->trayIcon) return;
    it->second->trayTip.assign(tip.substr(0, kTrayTipLength));
    notifyChanged(m, window);
}

void trayDeleteIcon(WindowHandle window) {
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    const auto it = m.windows.find(window);
    if (it == m.windows.end()) return;
    it->second->trayIcon = false;
    notifyChanged(m, window);
}

bool trayIconShown(WindowHandle window) {
    std::lock_guard lock(manager().mutex);
    const auto it = manager().windows.find(window);
    return it != manager().windows.end() && it->second->trayIcon;
}

std::string trayTip(WindowHandle window) {
    std::lock_guard lock(manager().mutex);
    const auto it = manager().windows.find(window);
    return it == manager().windows.end() ? std::string() : it->second->trayTip;
}

int trackPopupMenu(WindowHandle window, const std::vector<MenuItem>& items) {
    DialogBackend* backend;
    {
        std::lock_guard lock(manager().mutex);
        backend = manager().backend;
    }
    return backend != nullptr ? backend->trackPopupMenu(window, items) : 0;
}

void messageBox(WindowHandle owner, std::string_view text, std::string_view caption, MessageBoxKind kind) {
    DialogBackend* backend;
    {
        std::lock_guard lock(manager().mutex);
        backend = manager().backend;
    }
    if (backend != nullptr) backend->messageBox(owner, text, caption, kind);
}

int runInTerminal(const std::vector<std::string>& argv) {
    DialogBackend* backend;
    {
        std::lock_guard lock(manager().mutex);
        backend = manager().backend;
    }
    return backend != nullptr ? backend->runInTerminal(argv) : -1;
}

bool trayAreaAvailable() {
    DialogBackend* backend;
    {
        std::lock_guard lock(manager().mutex);
        backend = manager().backend;
    }
    return backend == nullptr || backend->trayAreaAvailable();
}

}  // namespace tavrel::gui
