// Which backend shows the windows on Linux: the desktop window where a
// display can be opened, the terminal window otherwise; --desktop and
// --terminal choose.
#include <atomic>
#include <cstdlib>

#include "gui/dialog_backend.h"
#include "gui/gtk/gtk_backend.h"
#include "gui/terminal/terminal_backend.h"

namespace tavrel::gui {
namespace {

std::atomic<WindowKind> chosenKind{WindowKind::Automatic};

bool displayNamed() {
    for (const char* name : {"WAYLAND_DISPLAY", "DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

}  // namespace

void chooseWindowKind(WindowKind kind) { chosenKind.store(kind); }

WindowKind interactiveWindowKind() {
    const WindowKind kind = chosenKind.load();
    if (kind != WindowKind::Automatic) return kind;
    return displayNamed() && desktopAvailable() ? WindowKind::Desktop : WindowKind::Terminal;
}

bool interactiveBackendAvailable() {
    return interactiveWindowKind() == WindowKind::Desktop ? desktopAvailable() : terminalAvailable();
}

std::unique_ptr<DialogBackend> makeInteractiveBackend() {
    return interactiveWindowKind() == WindowKind::Desktop ? makeGtkBackend() : makeTerminalBackend();
}

}  // namespace tavrel::gui
