// The terminal window's focus and input: keys and clicks acted on as
// Windows' dialog manager acts on them.
#include "gui/terminal/terminal_ui.h"

#include <algorithm>

#include "gui/terminal/calendar.h"
#include "gui/terminal/terminal_layout.h"
#include "gui/terminal/terminal_popup.h"
#include "gui/terminal/window_lookup.h"

namespace tavrel::gui {

using namespace terminal;

namespace {

constexpr char kInvalidEntryCaption[] = "Invalid Entry";
// Rows a notch of the wheel scrolls.
constexpr int kWheelRows = 3;

// The rows a list view of this window shows below its header.
int rowsShown(const WindowView& owner, size_t index) {
    const GridLayout layout = layOutControls(owner.controls, owner.width);
    return listRowsShown(index < layout.cells.size() ? layout.cells[index].height : 0);
}

// The control a cell belongs to: its window and id.
Focus targetOf(const Hit& hit) { return Focus{hit.window, hit.controlId}; }

}  // namespace

int TerminalUi::listCurrentRow(WindowHandle window, int id) const {
    const auto it = lists_.find({window, id});
    return it != lists_.end() ? it->second.current : 0;
}

TerminalUi::ListPlace& TerminalUi::listPlace(const WindowView& owner, size_t index, bool follow) {
    const ControlView& c = owner.controls[index];
    ListPlace& place = lists_[{owner.handle, c.layout.id}];
    const int rows = static_cast<int>(c.rows.size());
    const int shown = rowsShown(owner, index);
    place.current = std::clamp(place.current, 0, std::max(0, rows - 1));
    if (follow) {
        if (place.current < place.top) place.top = place.current;
        if (place.current >= place.top + shown) place.top = place.current - shown + 1;
    }
    place.top = std::clamp(place.top, 0, std::max(0, rows - shown));
    return place;
}

bool TerminalUi::moveInList(const std::vector<WindowView>& windows, const Focus& target, Key key) {
    const WindowView* owner = nullptr;
    size_t index = 0;
    const ControlView* c = findControl(windows, target, &index, &owner);
    if (c == nullptr) return false;
    ListPlace& place = listPlace(*owner, index, false);
    const int shown = rowsShown(*owner, index);
    const int last = static_cast<int>(c->rows.size()) - 1;
    switch (key) {
        case Key::Up: --place.current; break;
        case Key::Down: ++place.current; break;
        // A page moves the view as well as the current row.
        case Key::PageUp:
            place.current -= shown;
            place.top -= shown;
            break;
        case Key::PageDown:
            place.current += shown;
            place.top += shown;
            break;
        case Key::Home: place.current = 0; break;
        case Key::End: place.current = last; break;
        default: return false;
    }
    (void)listPlace(*owner, index, true);
    return true;
}

void TerminalUi::handleWheel(const InputEvent& event) {
    if (!popups_.empty() || !screen_ || event.x < 0 || event.y < 0 || event.x >= screen_->width() ||
        event.y >= screen_->height()) {
        return;
    }
    const Hit hit = screen_->at(event.x, event.y).hit;
    if (hit.kind != Hit::Kind::Control) return;
    const std::vector<WindowView> windows = snapshotWindows();
    const WindowView* w = active(windows);
    const WindowView* owner = nullptr;
    size_t index = 0;
    const ControlView* c = findControl(windows, targetOf(hit), &index, &owner);
    // The list under the pointer, in the window that takes input.
    if (c == nullptr || w == nullptr || c->layout.kind != ControlKind::ListView ||
        (owner->handle != w->handle && owner->embeddedIn != w->handle)) {
        return;
    }
    ListPlace& place = listPlace(*owner, index, false);
    place.top += event.wheel * kWheelRows;
    (void)listPlace(*owner, index, false);
}

void TerminalUi::clickList(const std::vector<WindowView>& windows, const Focus& target, int x, int y) {
    const WindowView* owner = nullptr;
    size_t index = 0;
    const ControlView* c = findControl(windows, target, &index, &owner);
    if (c == nullptr || !screen_) return;
    // The list's first cell: its header's left end.
    int left = x, header = y;
    auto ours = [&](int cx, int cy) {
        const Hit& h = screen_->at(cx, cy).hit;
        return h.kind == Hit::Kind::Control && h.window == target.window && h.controlId == target.controlId;
    };
    while (header > 0 && ours(x, header - 1)) --header;
    while (left > 0 && ours(left - 1, y)) --left;
    int right = x;
    while (right + 1 < screen_->width() && ours(right + 1, y)) ++right;
    if (y == header) return;
    ListPlace& place = listPlace(*owner, index, false);
    const int shown = rowsShown(*owner, index);
    const int rows = static_cast<int>(c->rows.size());
    const int line = y - header - 1;
    if (x == right && rows > shown) {
        // The scroll bar: its arrows a row, the track above or below the
        // thumb a page.
        const int middle = (place.top * (shown - 2) + rows / 2) / std::max(1, rows - shown) + 1;
        if (line == 0) {
            --place.top;
        } else if (line == shown - 1) {
            ++place.top;
        } else {
            place.top += line < middle ? -shown : shown;
        }
        (void)listPlace(*owner, index, false);
        return;
    }
    if (place.top + line < rows) place.current = place.top + line;
    (void)listPlace(*owner, index, true);
}

ListCurrentRows TerminalUi::placeLists(std::vector<WindowView>& windows) {
    // The places of lists that are gone are forgotten.
    for (auto it = lists_.begin(); it != lists_.end();) {
        const ControlView* c = findControl(windows, Focus{it->first.first, it->first.second});
        it = c == nullptr || c->layout.kind != ControlKind::ListView ? lists_.erase(it) : std::next(it);
    }
    ListCurrentRows current;
    for (WindowView& w : windows) {
        for (size_t i = 0; i < w.controls.size(); ++i) {
            ControlView& c = w.controls[i];
            if (c.layout.kind != ControlKind::ListView) continue;
            const ListPlace& place = listPlace(w, i, false);
            c.selection = place.top;
            current[{w.handle, c.layout.id}] = place.current;
        }
    }
    return current;
}

std::u32string TerminalUi::listRange(const std::vector<WindowView>& windows, const Focus& focus) const {
    const WindowView* owner = nullptr;
    size_t index = 0;
    const ControlView* c = findControl(windows, focus, &index, &owner);
    if (c == nullptr || c->layout.kind != ControlKind::ListView) return U"";
    const int rows = static_cast<int>(c->rows.size());
    const int shown = rowsShown(*owner, index);
    if (rows <= shown) return U"";
    const int top = std::clamp(c->selection, 0, rows - shown);
    const std::string text = std::to_string(top + 1) + "-" + std::to_string(top + shown) + " of " + std::to_string(rows);
    return fromUtf8(text);
}

TerminalUi::TerminalUi(bool unicode) : glyphs_(glyphsFor(unicode)) {}
TerminalUi::~TerminalUi() = default;

WindowHandle TerminalUi::activeWindow() {
    const std::vector<WindowView> windows = snapshotWindows();
    const WindowView* w = active(windows);
    return w != nullptr ? w->handle : kNoWindow;
}

Focus TerminalUi::focus() {
    const std::vector<WindowView> windows = snapshotWindows();
    const WindowView* w = active(windows);
    return w != nullptr ? settledFocus(windows, *w) : Focus{};
}

Focus TerminalUi::shownFocus(const std::vector<WindowView>& windows, const WindowView& w) const {
    const std::vector<Focus> order = focusable(windows, w);
    const auto it = focusByWindow_.find(w.handle);
    if (it != focusByWindow_.end() && std::any_of(order.begin(), order.end(), [&](const Focus& f) { return same(f, it->second); })) {
        return it->second;
    }
    // First shown, or its focused control went away or was greyed: the
    // default button, else the first control that takes the focus.
    for (const ControlView& c : w.controls) {
        if (c.layout.kind == ControlKind::DefaultPushButton && c.enabled && c.layout.id != -1) {
            return Focus{w.handle, c.layout.id};
        }
    }
    return order.empty() ? Focus{w.handle, -1} : order.front();
}

Focus TerminalUi::settledFocus(const std::vector<WindowView>& windows, const WindowView& w) {
    // The focus of windows that are gone is forgotten.
    for (auto it = focusByWindow_.begin(); it != focusByWindow_.end();) {
        it = findWindow(windows, it->first) == nullptr ? focusByWindow_.erase(it) : std::next(it);
    }
    const Focus chosen = shownFocus(windows, w);
    // The control given the focus keeps its claim while it is greyed (a
    // stand-in shows the focus meanwhile): it takes the focus back when it
    // is enabled again, unless the user has moved it.
    if (focusByWindow_.count(w.handle) == 0) focusByWindow_[w.handle] = chosen;
    if (!same(chosen, lastSettled_)) {
        lastSettled_ = chosen;
        replaceOnType_ = true;
    }
    return chosen;
}

void TerminalUi::setFocus(const std::vector<WindowView>& windows, const Focus& focus) {
    const WindowView* w = findWindow(windows, focus.window);
    if (w == nullptr) return;
    const WindowHandle top = w->embeddedIn != kNoWindow ? w->embeddedIn : w->handle;
    focusByWindow_[top] = focus;
    replaceOnType_ = true;
}

void TerminalUi::moveFocus(const std::vector<WindowView>& windows, const WindowView& w, int step) {
    const std::vector<Focus> order = focusable(windows, w);
    if (order.empty()) return;
    const Focus current = settledFocus(windows, w);
    size_t index = 0;
    for (size_t i = 0; i < order.size(); ++i) {
        if (same(order[i], current)) index = i;
    }
    const int n = static_cast<int>(order.size());
    setFocus(windows, order[static_cast<size_t>((static_cast<int>(index) + step + n) % n)]);
}

void TerminalUi::setScreenSize(int width, int height) {
    screenWidth_ = width;
    screenHeight_ = height;
}

TerminalUi::ShownWindows TerminalUi::shownWindows(const std::vector<WindowView>& windows) {
    ShownWindows shown;
    for (const WindowView& w : windows) {
        if (w.embeddedIn != kNoWindow || w.show != ShowCommand::Normal) continue;
        shown.windows.push_back(&w);
        shown.geometry.push_back(measureWindow(w, windows));
        shown.needWidth = std::max(shown.needWidth, shown.geometry.back().width);
        shown.needHeight = std::max(shown.needHeight, shown.geometry.back().height + 2);
    }
    return shown;
}

bool TerminalUi::tooSmall(const std::vector<WindowView>& windows) const {
    if (screenWidth_ <= 0 || screenHeight_ <= 0) return false;
    const ShownWindows shown = shownWindows(windows);
    return shown.needWidth > screenWidth_ || shown.needHeight > screenHeight_;
}

void TerminalUi::handle(const InputEvent& event) {
    // While the windows do not fit, nothing acts unseen: only a resize (and
    // the terminal closing, which comes as a signal) does anything. Judged
    // now, not by the last screen drawn: a key read with a resize, or after
    // a key that opened a larger window, comes before the next drawing.
    if (tooSmall(snapshotWindows())) return;
    bool& down = event.rightButton ? rightDown_ : leftDown_;
    switch (event.type) {
        case InputEvent::Type::Key: handleKey(event); break;
        // A click acts when pressed; its release is not a second click.
        case InputEvent::Type::Press:
            down = true;
            handlePress(event);
            break;
        // But curses drops the press now and then when the press and the
        // release are read together (a busy machine): a release with no
        // press before it is the whole click.
        case InputEvent::Type::Release:
            if (!down) handlePress(event);
            down = false;
            break;
        case InputEvent::Type::Wheel: handleWheel(event); break;
        case InputEvent::Type::None: break;
    }
}

void TerminalUi::handleKey(const InputEvent& event) {
    if (event.key == Key::Resize) return;
    if (!popups_.empty()) {
        handlePopupKey(event);
        return;
    }
    const std::vector<WindowView> windows = snapshotWindows();
    const WindowView* w = active(windows);
    if (w == nullptr) {
        if (event.key == Key::Enter || (event.key == Key::Char && event.ch == U' ')) restoreHidden(windows);
        return;
    }
    const Focus f = settledFocus(windows, *w);
    const ControlView* focused = findControl(windows, f);
    switch (event.key) {
        case Key::Tab: moveFocus(windows, *w, 1); break;
        case Key::BackTab: moveFocus(windows, *w, -1); break;
        case Key::Enter:
            // The focused push button, or the focused tab; otherwise the
            // window's default button (OK where it names none).
            if (focused != nullptr && focused->enabled &&
                (isButton(focused->layout.kind) || focused->layout.kind == ControlKind::Tab)) {
                postCommand(f.window, f.controlId);
            } else {
                int command = kIdOk;
                for (const ControlView& c : w->controls) {
                    if (c.layout.kind == ControlKind::DefaultPushButton && c.enabled) command = c.layout.id;
                }
                postCommand(w->handle, command);
            }
            break;
        case Key::Escape: postCommand(w->handle, kIdCancel); break;
        case Key::Up:
        case Key::Down:
        case Key::PageUp:
        case Key::PageDown:
        case Key::Home:
        case Key::End:
            if (!adjust(windows, f, event.key)) {
                if (event.key == Key::Up) moveFocus(windows, *w, -1);
                if (event.key == Key::Down) moveFocus(windows, *w, 1);
            }
            break;
        case Key::Left:
        case Key::Right: {
            const int step = event.key == Key::Right ? 1 : -1;
            if (focused != nullptr && focused->layout.kind == ControlKind::Tab) {
                // The neighbouring tab, selected as it gets the focus.
                std::vector<Focus> tabs;
                for (const ControlView& c : w->controls) {
                    if (c.layout.kind == ControlKind::Tab && c.enabled) tabs.push_back(Focus{w->handle, c.layout.id});
                }
                for (size_t i = 0; i < tabs.size(); ++i) {
                    if (!same(tabs[i], f)) continue;
                    const int next = static_cast<int>(i) + step;
                    if (next >= 0 && next < static_cast<int>(tabs.size())) {
                        setFocus(windows, tabs[static_cast<size_t>(next)]);
                        postCommand(w->handle, tabs[static_cast<size_t>(next)].controlId);
                    }
                    break;
                }
            } else {
                moveFocus(windows, *w, step);
            }
            break;
        }
        case Key::Char:
            if (event.ch == U' ') {
                press(windows, f);
            } else if (!type(windows, f, event)) {
                // A key no control takes goes to the window (the main
                // window's H opens the History view).
                postMessage(w->handle, WindowMessage{MessageKind::Char, static_cast<int>(event.ch)});
            }
            break;
        case Key::Backspace: (void)type(windows, f, event); break;
        case Key::Menu: postMessage(w->handle, WindowMessage{MessageKind::RightButtonUp}); break;
        case Key::Close:
            if (w->closeBox) postMessage(w->handle, WindowMessage{MessageKind::Close});
            break;
        case Key::Minimise:
            if (!w->modal) showWindow(w->handle, ShowCommand::Minimised);
            break;
        default: break;
    }
}

bool TerminalUi::restoreHidden(const std::vector<WindowView>& windows) {
    for (const WindowView& w : windows) {
        if (w.embeddedIn != kNoWindow) continue;
        if (w.show == ShowCommand::Minimised) {
            showWindow(w.handle, ShowCommand::Normal);
            return true;
        }
        if (w.trayIcon || (w.show == ShowCommand::Hidden && !w.modal)) {
            postMessage(w.handle, WindowMessage{MessageKind::TrayCallback, 0, kTrayLeftButtonDown});
            return true;
        }
    }
    return false;
}

void TerminalUi::press(const std::vector<WindowView>& windows, const Focus& target) {
    const WindowView* owner = nullptr;
    size_t index = 0;
    const ControlView* c = findControl(windows, target, &index, &owner);
    if (c == nullptr || !c->enabled) return;
    switch (c->layout.kind) {
        case ControlKind::CheckBox:
            checkDlgButton(target.window, target.controlId, !c->checked);
            postCommand(target.window, target.controlId);
            break;
        case ControlKind::RadioButton: {
            // The one pressed is set and the others of its group cleared,
            // whatever controls lie between them.
            for (size_t i = 0; i < owner->controls.size(); ++i) {
                const ControlView& other = owner->controls[i];
                if (other.layout.kind == ControlKind::RadioButton && sameGroup(owner->controls, index, i)) {
                    checkDlgButton(target.window, other.layout.id, other.layout.id == target.controlId);
                }
            }
            postCommand(target.window, target.controlId);
            break;
        }
        case ControlKind::DatePicker: {
            auto popup = std::make_unique<Popup>();
            popup->kind = Popup::Kind::Calendar;
            popup->date = c->date;
            openPopup(std::move(popup), target);
            break;
        }
        case ControlKind::ComboBox: {
            if (c->items.empty()) break;
            auto popup = std::make_unique<Popup>();
            popup->kind = Popup::Kind::DropList;
            popup->items = c->items;
            popup->selected = std::clamp(c->selection, 0, static_cast<int>(c->items.size()) - 1);
            openPopup(std::move(popup), target);
            break;
        }
        case ControlKind::PushButton:
        case ControlKind::DefaultPushButton:
        case ControlKind::Tab: postCommand(target.window, target.controlId); break;
        default: break;  // edits and lists change by keys, not by a press
    }
}

bool TerminalUi::adjust(const std::vector<WindowView>& windows, const Focus& target, Key key) {
    const WindowView* owner = nullptr;
    size_t index = 0;
    const ControlView* c = findControl(windows, target, &index, &owner);
    if (c == nullptr || !c->enabled) return false;
    if (c->layout.kind == ControlKind::ListView) return moveInList(windows, target, key);
    if (key == Key::Home || key == Key::End) return false;
    const bool up = key == Key::Up || key == Key::PageUp;
    const bool page = key == Key::PageUp || key == Key::PageDown;
    switch (c->layout.kind) {
        case ControlKind::ComboBox: {
            if (page) return true;
            const int count = static_cast<int>(c->items.size());
            if (count == 0) return true;
            const int next = std::clamp(c->selection + (up ? -1 : 1), 0, count - 1);
            if (next != c->selection) {
                comboSetSelection(target.window, target.controlId, next);
                postCommand(target.window, target.controlId);
            }
            return true;
        }
        case ControlKind::Edit: {
            // An up-down control after the edit: Up raises the number.
            if (index + 1 >= owner->controls.size() || owner->controls[index + 1].layout.kind != ControlKind::UpDown) {
                return false;
            }
            const ControlView& spin = owner->controls[index + 1];
            const long low = std::min(spin.low, spin.high);
            const long high = std::max(spin.low, spin.high);
            bool ok = false;
            long value = getDlgItemInt(target.window, target.controlId, ok);
            value = ok ? value + (up ? 1 : -1) * (page ? 10 : 1) : low;
            setDlgItemInt(target.window, target.controlId, std::clamp(value, low, high));
            replaceOnType_ = true;
            return true;
        }
        case ControlKind::DatePicker:
            setDatePickerTime(target.window, target.controlId,
                              page ? terminal::movedByMonths(c->date, up ? 1 : -1) : terminal::movedByDays(c->date, up ? 1 : -1));
            return true;
        default: return false;
    }
}

bool TerminalUi::type(const std::vector<WindowView>& windows, const Focus& target, const InputEvent& event) {
    const WindowView* owner = nullptr;
    size_t index = 0;
    const ControlView* c = findControl(windows, target, &index, &owner);
    if (c == nullptr || !c->enabled) return false;
    const bool edit = c->layout.kind == ControlKind::Edit;
    const bool address = c->layout.kind == ControlKind::IpAddress;
    if (!edit && !address) return false;
    // A field that has just taken the focus has its text selected, as in a
    // dialog: the first key replaces it.
    std::string text = replaceOnType_ ? std::string() : c->text;
    replaceOnType_ = false;
    // A digit that would make a number too large is refused with a message,
    // never taken as the start of another number.
    auto refuse = [&](const std::string& typed, long low, long high) {
        const WindowHandle top = owner->embeddedIn != kNoWindow ? owner->embeddedIn : owner->handle;
        openMessage(top,
                    typed + " is not a valid entry. Please specify a value between " + std::to_string(low) + " and " +
                        std::to_string(high) + ".",
                    kInvalidEntryCaption);
        setDlgItemText(target.window, target.controlId, text);
        return true;
    };
    if (event.key == Key::Backspace) {
        if (!text.empty()) text.pop_back();
    } else if (event.key == Key::Char && event.ch >= U'0' && event.ch <= U'9') {
        const char digit = static_cast<char>(event.ch);
        if (edit) {
            // A number field keeps to its up-down control's range.
            const bool ranged =
                index + 1 < owner->controls.size() && owner->controls[index + 1].layout.kind == ControlKind::UpDown;
            if (text.size() >= 5) return true;
            if (ranged) {
                const ControlView& spin = owner->controls[index + 1];
                const long high = std::max(spin.low, spin.high);
                if (std::stol(text + digit) > high) return refuse(text + digit, std::min(spin.low, spin.high), high);
            }
            text += digit;
        } else {
            // Four numbers of 0 to 255; a third digit ends a number and the
            // next digit starts the following one, as in the address control.
            const size_t dot = text.rfind('.');
            std::string part = text.substr(dot == std::string::npos ? 0 : dot + 1);
            if (part.size() == 3) {
                if (std::count(text.begin(), text.end(), '.') >= 3) return true;
                text += '.';
                part.clear();
            }
            part += digit;
            if (std::stoi(part) > 255) return refuse(part, 0, 255);
            text += digit;
        }
    } else if (address && event.key == Key::Char && event.ch == U'.') {
        if (text.empty() || text.back() == '.' || std::count(text.begin(), text.end(), '.') >= 3) return true;
        text += '.';
    } else {
        return false;
    }
    setDlgItemText(target.window, target.controlId, text);
    return true;
}

void TerminalUi::handlePress(const InputEvent& event) {
    if (!screen_ || event.x < 0 || event.y < 0 || event.x >= screen_->width() || event.y >= screen_->height()) return;
    const Hit hit = screen_->at(event.x, event.y).hit;
    if (!popups_.empty()) {
        handlePopupPress(hit);
        return;
    }
    const std::vector<WindowView> windows = snapshotWindows();
    const WindowView* w = active(windows);
    // Only the active window (and the page showing in it) takes clicks; a
    // modal window blocks the others as it does on a desktop.
    auto inActive = [&](WindowHandle handle) {
        if (w == nullptr) return false;
        const WindowView* target = findWindow(windows, handle);
        return target != nullptr && (target->handle == w->handle || target->embeddedIn == w->handle);
    };
    const bool blocked = w != nullptr && w->modal;
    switch (hit.kind) {
        case Hit::Kind::Control: {
            if (!inActive(hit.window)) break;
            if (event.rightButton) {
                postMessage(w->handle, WindowMessage{MessageKind::RightButtonUp});
                break;
            }
            const ControlView* c = findControl(windows, Focus{hit.window, hit.controlId});
            if (c == nullptr || !c->enabled || !takesFocus(c->layout.kind)) break;
            setFocus(windows, Focus{hit.window, hit.controlId});
            if (c->layout.kind == ControlKind::ListView) {
                clickList(windows, Focus{hit.window, hit.controlId}, event.x, event.y);
            } else {
                press(windows, Focus{hit.window, hit.controlId});
            }
            break;
        }
        case Hit::Kind::Window:
            if (event.rightButton && inActive(hit.window)) postMessage(w->handle, WindowMessage{MessageKind::RightButtonUp});
            break;
        case Hit::Kind::MinimiseBox:
            if (inActive(hit.window)) showWindow(hit.window, ShowCommand::Minimised);
            break;
        case Hit::Kind::CloseBox:
            if (inActive(hit.window)) postMessage(hit.window, WindowMessage{MessageKind::Close});
            break;
        case Hit::Kind::TaskbarEntry:
            if (!blocked) showWindow(hit.window, ShowCommand::Normal);
            break;
        case Hit::Kind::TrayEntry:
            if (!blocked) {
                postMessage(hit.window, WindowMessage{MessageKind::TrayCallback, 0,
                                                      event.rightButton ? kTrayRightButtonDown : kTrayLeftButtonDown});
            }
            break;
        default: break;
    }
}

}  // namespace tavrel::gui
