// Looking things up in a snapshot of the windows for the terminal window:
// a window or control by its handle and id, the window that takes keys,
// and the order the focus moves in.
#pragma once

#include <vector>

#include "gui/dialog_backend.h"
#include "gui/terminal/terminal_input.h"
#include "gui/terminal/terminal_screen.h"

namespace tavrel::gui::terminal {

inline bool same(const Focus& a, const Focus& b) { return a.window == b.window && a.controlId == b.controlId; }

inline const WindowView* findWindow(const std::vector<WindowView>& windows, WindowHandle handle) {
    for (const WindowView& w : windows) {
        if (w.handle == handle) return &w;
    }
    return nullptr;
}

// The control a focus names, with its index in its window.
inline const ControlView* findControl(const std::vector<WindowView>& windows, const Focus& focus, size_t* index = nullptr,
                               const WindowView** owner = nullptr) {
    const WindowView* w = findWindow(windows, focus.window);
    if (w == nullptr || focus.controlId == -1) return nullptr;
    for (size_t i = 0; i < w->controls.size(); ++i) {
        if (w->controls[i].layout.id != focus.controlId) continue;
        if (index != nullptr) *index = i;
        if (owner != nullptr) *owner = w;
        return &w->controls[i];
    }
    return nullptr;
}

// The window that takes keys: the newest shown one (property pages take
// theirs through their sheet).
inline const WindowView* active(const std::vector<WindowView>& windows) {
    const WindowView* found = nullptr;
    for (const WindowView& w : windows) {
        if (w.show == ShowCommand::Normal && w.embeddedIn == kNoWindow) found = &w;
    }
    return found;
}

inline bool isButton(ControlKind kind) { return kind == ControlKind::PushButton || kind == ControlKind::DefaultPushButton; }

// The controls that take the focus in a window, in Tab order: its tabs,
// the page showing in it, then its other controls.
inline std::vector<Focus> focusable(const std::vector<WindowView>& windows, const WindowView& w) {
    std::vector<Focus> order;
    auto add = [&order](const WindowView& owner, bool tabs) {
        for (const ControlView& c : owner.controls) {
            if (!takesFocus(c.layout.kind) || !c.enabled || c.layout.id == -1) continue;
            if ((c.layout.kind == ControlKind::Tab) == tabs) order.push_back(Focus{owner.handle, c.layout.id});
        }
    };
    add(w, true);
    for (const WindowView& page : windows) {
        if (page.embeddedIn == w.handle && page.show == ShowCommand::Normal) add(page, false);
    }
    add(w, false);
    return order;
}

// The program's own window: the first that is neither modal nor a page.
// Escape ends the program there, and F10 opens its menu.
inline bool isMainWindow(const std::vector<WindowView>& windows, const WindowView& w) {
    for (const WindowView& other : windows) {
        if (!other.modal && other.embeddedIn == kNoWindow) return other.handle == w.handle;
    }
    return false;
}

}  // namespace tavrel::gui::terminal
