// Drawing the terminal window: the windows centred, the focused control's
// tooltip under the active one, the entries line with the key hints, and
// the popups on top. Drawing changes nothing of what the keys act on.
#include <algorithm>

#include "gui/terminal/terminal_layout.h"
#include "gui/terminal/terminal_popup.h"
#include "gui/terminal/terminal_ui.h"
#include "gui/terminal/window_lookup.h"

namespace tavrel::gui {

using namespace terminal;

namespace {

// What the keys do in the active window, for the line at the bottom; with
// a list's range ("13-24 of 27") when the focused list hides rows.
std::u32string keyHints(const std::vector<WindowView>& windows, const WindowView& w, const std::u32string& range) {
    bool changes = false;
    auto look = [&changes](const WindowView& owner) {
        for (const ControlView& c : owner.controls) {
            const ControlKind k = c.layout.kind;
            changes = changes || k == ControlKind::UpDown || k == ControlKind::ComboBox ||
                      k == ControlKind::DatePicker || k == ControlKind::ListView;
        }
    };
    look(w);
    for (const WindowView& page : windows) {
        if (page.embeddedIn == w.handle && page.show == ShowCommand::Normal) look(page);
    }
    const bool main = isMainWindow(windows, w);
    std::u32string hints = U"Tab: move  Space: press";
    if (!range.empty()) {
        hints = U"Tab: move  Up/Down, PgUp/PgDn, Home/End: scroll  " + range;
    } else if (changes) {
        hints += U"  Up/Down: change";
    }
    if (main) hints += U"  F10: menu";
    // Escape is Cancel: it ends the program's own window, closes the
    // others, and does nothing where the window has no way to be closed.
    if (w.closeBox) hints += main ? U"  Esc: exit" : w.modal ? U"  Esc: cancel" : U"  Esc: close";
    return hints;
}

}  // namespace

void TerminalUi::drawEntries(Screen& screen, const std::vector<WindowView>& windows, bool anyShown) {
    const int row = screen.height() - 1;
    int left = 0;
    int right = screen.width();
    bool trayShown = false;
    for (const WindowView& w : windows) trayShown = trayShown || w.trayIcon;
    for (const WindowView& w : windows) {
        if (w.embeddedIn != kNoWindow) continue;
        if (w.show == ShowCommand::Minimised) {
            const std::u32string entry = U"[" + fromUtf8(w.caption) + U"]";
            screen.put(left, row, entry, Style::Entry, Hit{Hit::Kind::TaskbarEntry, w.handle, -1});
            left += static_cast<int>(entry.size()) + 1;
        }
        std::u32string entry;
        if (w.trayIcon) {
            const std::u32string tip = fromUtf8(w.trayTip);
            entry = std::u32string(1, glyphs_.icon) + U" " + tip.substr(0, tip.find_first_of(U"\r\n"));
        } else if (!anyShown && !trayShown && w.show == ShowCommand::Hidden && !w.modal) {
            // A window hidden with no notification-area icon would leave an
            // empty terminal: an entry stands in for the running program.
            entry = std::u32string(1, glyphs_.icon) + U" " + fromUtf8(w.caption);
        }
        if (entry.empty()) continue;
        right = std::max(left, right - static_cast<int>(entry.size()));
        screen.put(right, row, entry, Style::Entry, Hit{Hit::Kind::TrayEntry, w.handle, -1});
        trayEntries_[w.handle] = EntrySpan{right, right + static_cast<int>(entry.size()), row};
        right -= 1;
    }
    // What the keys do, where there is room.
    std::u32string hints;
    if (!popups_.empty()) {
        switch (popups_.back()->kind) {
            case Popup::Kind::Calendar: hints = U"Arrows: day  PgUp/PgDn: month  Enter: take  Esc: close"; break;
            case Popup::Kind::Message: hints = U"Enter: close"; break;
            default: hints = U"Up/Down: choose  Enter: take  Esc: close"; break;
        }
    } else if (const WindowView* w = anyShown ? active(windows) : nullptr; w != nullptr) {
        const std::u32string range = listRange(windows, shownFocus(windows, *w));
        hints = keyHints(windows, *w, range);
        // Short of room, a list's range still shows.
        if (!range.empty() && left + static_cast<int>(hints.size()) + 1 > right) hints = U"Tab: move  " + range;
    } else {
        hints = U"Enter: restore";
    }
    if (left + static_cast<int>(hints.size()) + 1 <= right) screen.put(left, row, hints, Style::Hint, Hit{});
}

const Screen& TerminalUi::render(int width, int height) {
    std::vector<WindowView> windows = snapshotWindows();
    const ListCurrentRows currentRows = placeLists(windows);
    screen_ = std::make_unique<Screen>(std::max(1, width), std::max(1, height));
    Screen& screen = *screen_;

    setScreenSize(screen.width(), screen.height());
    ShownWindows layout = shownWindows(windows);
    const std::vector<const WindowView*>& shown = layout.windows;
    std::vector<WindowGeometry>& geometry = layout.geometry;
    const int needWidth = layout.needWidth, needHeight = layout.needHeight;
    if (needWidth > screen.width() || needHeight > screen.height()) {
        const std::string text = "Enlarge the terminal to " + std::to_string(std::max(needWidth, screen.width())) +
                                 " x " + std::to_string(std::max(needHeight, screen.height()));
        const std::vector<std::u32string> lines = wrapWords(fromUtf8(text), screen.width(), screen.height());
        for (size_t i = 0; i < lines.size(); ++i) {
            const int x = std::max(0, (screen.width() - static_cast<int>(lines[i].size())) / 2);
            screen.put(x, screen.height() / 2 + static_cast<int>(i), lines[i], Style::Warning, Hit{});
        }
        return screen;
    }

    const Focus focused = shown.empty() ? Focus{} : shownFocus(windows, *shown.back());
    for (size_t i = 0; i < shown.size(); ++i) {
        WindowGeometry& g = geometry[i];
        g.left = (screen.width() - g.width) / 2;
        g.top = std::max(0, (screen.height() - 1 - g.height - 1) / 2);
        const bool isActive = i + 1 == shown.size();
        drawWindow(screen, *shown[i], windows, g, isActive ? focused : Focus{}, isActive, glyphs_, currentRows);
    }
    // The focused control: where popups open, and its tooltip under the window.
    focusX_ = screen.width() / 2;
    focusY_ = screen.height() / 2;
    focusRight_ = focusX_;
    bool found = false;
    for (int y = 0; y < screen.height() && !found; ++y) {
        for (int x = 0; x < screen.width(); ++x) {
            const Hit& hit = screen.at(x, y).hit;
            if (hit.kind != Hit::Kind::Control || hit.window != focused.window || hit.controlId != focused.controlId) continue;
            focusX_ = x;
            focusY_ = y;
            focusRight_ = x;
            while (focusRight_ + 1 < screen.width() && screen.at(focusRight_ + 1, y).hit.kind == Hit::Kind::Control &&
                   screen.at(focusRight_ + 1, y).hit.controlId == focused.controlId) {
                ++focusRight_;
            }
            ++focusRight_;
            found = true;
            break;
        }
    }
    trayEntries_.clear();
    drawEntries(screen, windows, !shown.empty());
    // Popups stay beside the control they were opened from, wherever a
    // resize has moved its window (the focus stays put while they are
    // open); the menu of a window in the tray stays above its entry.
    for (const auto& popup : popups_) {
        const auto entry = trayEntries_.find(popup->window);
        const WindowView* owner = findWindow(windows, popup->window);
        if (entry != trayEntries_.end() && owner != nullptr && owner->show == ShowCommand::Hidden) {
            popup->anchorX = entry->second.left;
            popup->anchorY = entry->second.row;
            popup->anchorRight = entry->second.right;
            continue;
        }
        popup->anchorX = focusX_;
        popup->anchorY = focusY_;
        popup->anchorRight = focusRight_;
    }
    if (!shown.empty()) {
        const ControlView* c = findControl(windows, focused);
        const WindowGeometry& g = geometry.back();
        const int room = screen.height() - 1 - (g.top + g.height);
        if (c != nullptr && !c->tooltip.empty() && room > 0) {
            const std::vector<std::u32string> lines = wrapWords(fromUtf8(c->tooltip), g.width - 2, std::min(2, room));
            for (size_t i = 0; i < lines.size(); ++i) {
                screen.put(g.left + 1, g.top + g.height + static_cast<int>(i), lines[i], Style::Tooltip, Hit{});
            }
        }
    }
    for (const auto& popup : popups_) drawPopup(screen, *popup);
    return screen;
}

}  // namespace tavrel::gui
