#include "gui/terminal/terminal_ui.h"

#include <algorithm>

#include "platform/time.h"

namespace tavrel::gui {
namespace {

bool same(const Focus& a, const Focus& b) { return a.window == b.window && a.controlId == b.controlId; }

const WindowView* findWindow(const std::vector<WindowView>& windows, WindowHandle handle) {
    for (const WindowView& w : windows) {
        if (w.handle == handle) return &w;
    }
    return nullptr;
}

// The control a focus names, with its index in its window.
const ControlView* findControl(const std::vector<WindowView>& windows, const Focus& focus, size_t* index = nullptr,
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
const WindowView* active(const std::vector<WindowView>& windows) {
    const WindowView* found = nullptr;
    for (const WindowView& w : windows) {
        if (w.show == ShowCommand::Normal && w.embeddedIn == kNoWindow) found = &w;
    }
    return found;
}

bool isButton(ControlKind kind) { return kind == ControlKind::PushButton || kind == ControlKind::DefaultPushButton; }

// The controls that take the focus in a window, in Tab order: its tabs,
// the page showing in it, then its other controls.
std::vector<Focus> focusable(const std::vector<WindowView>& windows, const WindowView& w) {
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
bool isMainWindow(const std::vector<WindowView>& windows, const WindowView& w) {
    for (const WindowView& other : windows) {
        if (!other.modal && other.embeddedIn == kNoWindow) return other.handle == w.handle;
    }
    return false;
}

// What the keys do in the active window, for the line at the bottom.
std::u32string keyHints(const std::vector<WindowView>& windows, const WindowView& w) {
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
    if (changes) hints += U"  Up/Down: change";
    if (main) hints += U"  F10: menu";
    // Escape is Cancel: it ends the program's own window, closes the
    // others, and does nothing where the window has no way to be closed.
    if (w.closeBox) hints += main ? U"  Esc: exit" : w.modal ? U"  Esc: cancel" : U"  Esc: close";
    return hints;
}

// A date moved by whole days, keeping its time of day (and setting its day
// of the week).
SystemTime movedBy(const SystemTime& date, int days) {
    platform::FileTime ft = 0;
    if (!platform::systemTimeToFileTime(date, ft)) return date;
    const int64_t day = 86'400LL * static_cast<int64_t>(platform::kFileTimeUnitsPerSecond);
    const int64_t moved = static_cast<int64_t>(ft) + days * day;
    SystemTime out = date;
    if (moved < 0 || !platform::fileTimeToSystemTime(static_cast<platform::FileTime>(moved), out)) return date;
    return out;
}

SystemTime movedByMonths(const SystemTime& date, int months) {
    SystemTime moved = date;
    const int month = date.month - 1 + months;
    const int year = date.year + (month < 0 ? (month - 11) / 12 : month / 12);
    const int wrapped = ((month % 12) + 12) % 12 + 1;
    if (year < 1601 || year > 30827) return date;
    moved.year = static_cast<uint16_t>(year);
    moved.month = static_cast<uint16_t>(wrapped);
    moved.day = static_cast<uint16_t>(std::min<int>(date.day, platform::daysInMonth(year, wrapped)));
    return movedBy(moved, 0);
}

constexpr const char* kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};
constexpr int kCalendarWidth = 22;
constexpr char kInvalidEntryCaption[] = "Invalid Entry";
constexpr int kCalendarHeight = 10;

std::vector<std::u32string> paragraphs(const std::string& text, int width, int maxLines) {
    std::vector<std::u32string> lines;
    std::u32string all = fromUtf8(text);
    size_t start = 0;
    while (start <= all.size() && static_cast<int>(lines.size()) < maxLines) {
        size_t end = all.find(U'\n', start);
        if (end == std::u32string::npos) end = all.size();
        const std::u32string part = all.substr(start, end - start);
        std::vector<std::u32string> wrapped = wrapWords(part, width, maxLines - static_cast<int>(lines.size()));
        if (wrapped.empty()) wrapped.emplace_back();
        lines.insert(lines.end(), wrapped.begin(), wrapped.end());
        start = end + 1;
    }
    return lines;
}

}  // namespace

struct TerminalUi::Popup {
    enum class Kind { Menu, Message, Calendar, DropList };
    Kind kind;
    int token = 0;
    WindowHandle window = kNoWindow;
    int controlId = -1;
    std::vector<std::string> items;
    std::vector<int> commands;
    int selected = 0;
    SystemTime date{};
    std::string caption;
    std::string text;
    // Where it opens: beside the focused control as it was drawn.
    int anchorX = 0, anchorY = 0, anchorRight = 0;
};

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

Focus TerminalUi::settledFocus(const std::vector<WindowView>& windows, const WindowView& w) {
    const std::vector<Focus> order = focusable(windows, w);
    const auto it = focusByWindow_.find(w.handle);
    if (it != focusByWindow_.end() && std::any_of(order.begin(), order.end(), [&](const Focus& f) { return same(f, it->second); })) {
        return it->second;
    }
    // First shown, or its focused control went away or was greyed: the
    // default button, else the first control that takes the focus.
    Focus chosen{w.handle, -1};
    for (const ControlView& c : w.controls) {
        if (c.layout.kind == ControlKind::DefaultPushButton && c.enabled && c.layout.id != -1) {
            chosen = Focus{w.handle, c.layout.id};
            break;
        }
    }
    if (chosen.controlId == -1 && !order.empty()) chosen = order.front();
    focusByWindow_[w.handle] = chosen;
    replaceOnType_ = true;
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

void TerminalUi::handle(const InputEvent& event) {
    // While the windows do not fit, nothing acts unseen: only a resize (and
    // the terminal closing, which comes as a signal) does anything.
    if (tooSmall_) return;
    switch (event.type) {
        case InputEvent::Type::Key: handleKey(event); break;
        case InputEvent::Type::Press: handlePress(event); break;
        // A click acts when pressed; its release is not a second click.
        case InputEvent::Type::Release:
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
                              page ? movedByMonths(c->date, up ? 1 : -1) : movedBy(c->date, up ? 1 : -1));
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
            press(windows, Focus{hit.window, hit.controlId});
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

// Popups ----------------------------------------------------------------

int TerminalUi::openPopup(std::unique_ptr<Popup> popup, const Focus& target) {
    popup->token = ++lastToken_;
    popup->window = target.window;
    popup->controlId = target.controlId;
    popup->anchorX = focusX_;
    popup->anchorY = focusY_;
    popup->anchorRight = focusRight_;
    const int token = popup->token;
    popups_.push_back(std::move(popup));
    return token;
}

int TerminalUi::openMenu(WindowHandle window, const std::vector<MenuItem>& items) {
    auto popup = std::make_unique<Popup>();
    popup->kind = Popup::Kind::Menu;
    for (const MenuItem& item : items) {
        popup->items.push_back(item.text);
        popup->commands.push_back(item.command);
    }
    while (popup->selected < static_cast<int>(items.size()) && items[static_cast<size_t>(popup->selected)].text.empty()) {
        ++popup->selected;
    }
    if (popup->selected >= static_cast<int>(items.size())) popup->selected = -1;
    (void)focus();  // places the menu beside the control with the focus
    return openPopup(std::move(popup), Focus{window, -1});
}

int TerminalUi::openMessage(WindowHandle owner, const std::string& text, const std::string& caption) {
    auto popup = std::make_unique<Popup>();
    popup->kind = Popup::Kind::Message;
    popup->text = text;
    popup->caption = caption;
    return openPopup(std::move(popup), Focus{owner, -1});
}

bool TerminalUi::popupOpen(int token) const {
    return std::any_of(popups_.begin(), popups_.end(), [token](const auto& p) { return p->token == token; });
}

int TerminalUi::takeMenuChoice(int token) {
    const auto it = menuChoices_.find(token);
    if (it == menuChoices_.end()) return 0;
    const int choice = it->second;
    menuChoices_.erase(it);
    return choice;
}

void TerminalUi::closePopup(int token) {
    for (size_t i = 0; i < popups_.size(); ++i) {
        if (popups_[i]->token != token) continue;
        // What was opened over it goes with it.
        while (popups_.size() > i + 1) finishPopup(false);
        finishPopup(false);
        return;
    }
}

void TerminalUi::finishPopup(bool take) {
    if (popups_.empty()) return;
    std::unique_ptr<Popup> popup = std::move(popups_.back());
    popups_.pop_back();
    switch (popup->kind) {
        case Popup::Kind::Menu:
            menuChoices_[popup->token] =
                take && popup->selected >= 0 ? popup->commands[static_cast<size_t>(popup->selected)] : 0;
            break;
        case Popup::Kind::Calendar:
            if (take) setDatePickerTime(popup->window, popup->controlId, popup->date);
            break;
        case Popup::Kind::DropList:
            if (take && popup->selected != comboSelection(popup->window, popup->controlId)) {
                comboSetSelection(popup->window, popup->controlId, popup->selected);
                postCommand(popup->window, popup->controlId);
            }
            break;
        case Popup::Kind::Message: break;
    }
}

void TerminalUi::handlePopupKey(const InputEvent& event) {
    Popup& p = *popups_.back();
    const bool space = event.key == Key::Char && event.ch == U' ';
    if (event.key == Key::Escape) {
        finishPopup(false);
        return;
    }
    if (event.key == Key::Enter || space) {
        finishPopup(true);
        return;
    }
    switch (p.kind) {
        case Popup::Kind::Menu:
        case Popup::Kind::DropList: {
            const int count = static_cast<int>(p.items.size());
            if (count == 0 || p.selected < 0) break;
            int step = 0;
            if (event.key == Key::Down) step = 1;
            if (event.key == Key::Up) step = -1;
            if (step == 0) break;
            if (p.kind == Popup::Kind::DropList) {
                p.selected = std::clamp(p.selected + step, 0, count - 1);
                break;
            }
            int next = p.selected;
            do {
                next = (next + step + count) % count;
            } while (p.items[static_cast<size_t>(next)].empty() && next != p.selected);
            p.selected = next;
            break;
        }
        case Popup::Kind::Calendar:
            if (event.key == Key::Left || event.key == Key::Right) p.date = movedBy(p.date, event.key == Key::Right ? 1 : -1);
            if (event.key == Key::Up || event.key == Key::Down) p.date = movedBy(p.date, event.key == Key::Down ? 7 : -7);
            if (event.key == Key::PageUp || event.key == Key::PageDown) {
                p.date = movedByMonths(p.date, event.key == Key::PageDown ? 1 : -1);
            }
            break;
        case Popup::Kind::Message: break;
    }
}

void TerminalUi::handlePopupPress(const Hit& hit) {
    Popup& p = *popups_.back();
    if (hit.kind != Hit::Kind::PopupItem) {
        finishPopup(false);  // a click beside the popup closes it
        return;
    }
    if (hit.controlId < 0) return;  // its frame
    if (p.kind == Popup::Kind::Calendar) {
        p.date.day = static_cast<uint16_t>(hit.controlId);
        p.date = movedBy(p.date, 0);
    } else if (p.kind != Popup::Kind::Message) {
        if (p.items[static_cast<size_t>(hit.controlId)].empty()) return;  // a separator
        p.selected = hit.controlId;
    }
    finishPopup(true);
}

void TerminalUi::drawPopup(Screen& screen, const Popup& p) {
    const int width = screen.width();
    const int height = screen.height() - 1;  // above the entries line
    auto item = [](int index) { return Hit{Hit::Kind::PopupItem, kNoWindow, index}; };
    const Hit frame = item(-1);
    switch (p.kind) {
        case Popup::Kind::Menu: {
            int inner = 0;
            for (const std::string& text : p.items) inner = std::max(inner, textCells(text));
            const int w = std::min(width, inner + 4);
            const int h = std::min(height, static_cast<int>(p.items.size()) + 2);
            // Under the focused control, its right edge at the control's.
            const int left = std::clamp(p.anchorRight - w, 0, std::max(0, width - w));
            const int top = std::clamp(p.anchorY + 1, 0, std::max(0, height - h));
            drawBox(screen, left, top, w, h, U"", Style::Popup, frame, glyphs_);
            for (int i = 0; i + 2 < h; ++i) {
                const std::string& text = p.items[static_cast<size_t>(i)];
                if (text.empty()) {
                    std::u32string rule(static_cast<size_t>(w), glyphs_.horizontal);
                    rule.front() = glyphs_.teeLeft;
                    rule.back() = glyphs_.teeRight;
                    screen.put(left, top + 1 + i, rule, Style::Frame, frame);
                    continue;
                }
                std::u32string line = U" " + fromUtf8(text);
                line.resize(static_cast<size_t>(w - 2), U' ');
                screen.put(left + 1, top + 1 + i, line, i == p.selected ? Style::PopupSelected : Style::Popup, item(i));
            }
            break;
        }
        case Popup::Kind::Message: {
            const int w = std::min(width, std::max({textCells(p.caption) + 8, std::min(textCells(p.text), 56) + 6, 20}));
            const std::vector<std::u32string> lines = paragraphs(p.text, w - 6, std::max(1, height - 6));
            const int h = std::min(height, static_cast<int>(lines.size()) + 5);
            const int left = std::max(0, (width - w) / 2);
            const int top = std::max(0, (height - h) / 2);
            drawBox(screen, left, top, w, h, fromUtf8(p.caption), Style::Popup, frame, glyphs_);
            for (size_t i = 0; i < lines.size() && static_cast<int>(i) + 5 <= h; ++i) {
                screen.put(left + 3, top + 2 + static_cast<int>(i), lines[i], Style::Popup, frame, w - 6);
            }
            screen.put(left + (w - 6) / 2, top + h - 2, U"[ OK ]", Style::PopupSelected, item(0));
            break;
        }
        case Popup::Kind::Calendar: {
            const int left = std::clamp(p.anchorX, 0, std::max(0, width - kCalendarWidth));
            const int top = std::clamp(p.anchorY + 1, 0, std::max(0, height - kCalendarHeight));
            const std::u32string title = fromUtf8(std::string(kMonths[(p.date.month + 11) % 12]) + " " +
                                                  std::to_string(p.date.year));
            drawBox(screen, left, top, kCalendarWidth, kCalendarHeight, title, Style::Popup, frame, glyphs_);
            screen.put(left + 1, top + 1, U"Su Mo Tu We Th Fr Sa", Style::Popup, frame);
            SystemTime first = p.date;
            first.day = 1;
            first = movedBy(first, 0);
            for (int day = 1; day <= platform::daysInMonth(p.date.year, p.date.month); ++day) {
                const int cell = first.dayOfWeek + day - 1;
                std::u32string number = fromUtf8((day < 10 ? " " : "") + std::to_string(day));
                screen.put(left + 1 + (cell % 7) * 3, top + 2 + cell / 7, number,
                           day == p.date.day ? Style::PopupSelected : Style::Popup, item(day));
            }
            break;
        }
        case Popup::Kind::DropList: {
            int inner = 0;
            for (const std::string& text : p.items) inner = std::max(inner, textCells(text));
            const int w = std::min(width, inner + 4);
            const int count = static_cast<int>(p.items.size());
            const int below = height - (p.anchorY + 1);
            const int h = std::min(count + 2, std::max(3, std::max(below, p.anchorY)));
            const int top = below >= h ? p.anchorY + 1 : std::max(0, p.anchorY - h);
            const int left = std::clamp(p.anchorX, 0, std::max(0, width - w));
            const int shown = h - 2;
            const int firstShown = std::clamp(p.selected - shown / 2, 0, std::max(0, count - shown));
            drawBox(screen, left, top, w, h, U"", Style::Popup, frame, glyphs_);
            for (int i = 0; i < shown && firstShown + i < count; ++i) {
                const int index = firstShown + i;
                std::u32string line = U" " + fromUtf8(p.items[static_cast<size_t>(index)]);
                line.resize(static_cast<size_t>(w - 2), U' ');
                screen.put(left + 1, top + 1 + i, line, index == p.selected ? Style::PopupSelected : Style::Popup,
                           item(index));
            }
            break;
        }
    }
}

// Drawing ----------------------------------------------------------------

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
        hints = keyHints(windows, *w);
    } else {
        hints = U"Enter: restore";
    }
    if (left + static_cast<int>(hints.size()) + 1 <= right) screen.put(left, row, hints, Style::Hint, Hit{});
}

const Screen& TerminalUi::render(int width, int height) {
    const std::vector<WindowView> windows = snapshotWindows();
    for (auto it = focusByWindow_.begin(); it != focusByWindow_.end();) {
        it = findWindow(windows, it->first) == nullptr ? focusByWindow_.erase(it) : std::next(it);
    }
    screen_ = std::make_unique<Screen>(std::max(1, width), std::max(1, height));
    Screen& screen = *screen_;

    std::vector<const WindowView*> shown;
    std::vector<WindowGeometry> geometry;
    int needWidth = 0, needHeight = 0;
    for (const WindowView& w : windows) {
        if (w.embeddedIn != kNoWindow || w.show != ShowCommand::Normal) continue;
        shown.push_back(&w);
        geometry.push_back(measureWindow(w, windows));
        // Each window with a line for its tooltip and the entries line.
        needWidth = std::max(needWidth, geometry.back().width);
        needHeight = std::max(needHeight, geometry.back().height + 2);
    }
    tooSmall_ = needWidth > screen.width() || needHeight > screen.height();
    if (tooSmall_) {
        const std::string text = "Enlarge the terminal to " + std::to_string(std::max(needWidth, screen.width())) +
                                 " x " + std::to_string(std::max(needHeight, screen.height()));
        const std::vector<std::u32string> lines = wrapWords(fromUtf8(text), screen.width(), screen.height());
        for (size_t i = 0; i < lines.size(); ++i) {
            const int x = std::max(0, (screen.width() - static_cast<int>(lines[i].size())) / 2);
            screen.put(x, screen.height() / 2 + static_cast<int>(i), lines[i], Style::Warning, Hit{});
        }
        return screen;
    }

    const Focus focused = shown.empty() ? Focus{} : settledFocus(windows, *shown.back());
    for (size_t i = 0; i < shown.size(); ++i) {
        WindowGeometry& g = geometry[i];
        g.left = (screen.width() - g.width) / 2;
        g.top = std::max(0, (screen.height() - 1 - g.height - 1) / 2);
        const bool isActive = i + 1 == shown.size();
        drawWindow(screen, *shown[i], windows, g, isActive ? focused : Focus{}, isActive, glyphs_);
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
    // Popups stay beside the control they were opened from, wherever a
    // resize has moved its window (the focus stays put while they are open).
    for (const auto& popup : popups_) {
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
    drawEntries(screen, windows, !shown.empty());
    for (const auto& popup : popups_) drawPopup(screen, *popup);
    return screen;
}

}  // namespace tavrel::gui
