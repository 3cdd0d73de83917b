#include "gui/terminal/terminal_backend.h"

#include <langinfo.h>
#include <ncurses.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "gui/terminal/terminal_screen.h"

namespace tavrel::gui {
namespace {

constexpr int kEscape = 27;
constexpr int kEnterKeys[] = {'\n', '\r', KEY_ENTER};
constexpr int kShiftF10 = KEY_F(22);
constexpr int kMenuKey = KEY_F(10);
// Keyboard stand-ins for the title bar's boxes.
constexpr int kCloseKey = KEY_F(4);
constexpr int kMinimiseKey = KEY_F(8);

bool isEnter(int key) { return std::find(std::begin(kEnterKeys), std::end(kEnterKeys), key) != std::end(kEnterKeys); }

short cursesAttributes(uint8_t attr) {
    int a = A_NORMAL;
    if (attr & kAttrBold) a |= A_BOLD;
    if (attr & kAttrReverse) a |= A_REVERSE;
    if (attr & kAttrDim) a |= A_DIM;
    if (attr & kAttrUnderline) a |= A_UNDERLINE;
    return static_cast<short>(a);
}

class TerminalBackend : public DialogBackend {
public:
    TerminalBackend() {
        std::setlocale(LC_CTYPE, "");
        unicode_ = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
        initscr();
        cbreak();
        noecho();
        keypad(stdscr, TRUE);
        nodelay(stdscr, TRUE);
        set_escdelay(25);
        curs_set(0);
        mousemask(BUTTON1_PRESSED | BUTTON1_CLICKED | BUTTON3_PRESSED | BUTTON3_CLICKED, nullptr);
        mouseinterval(0);
    }
    ~TerminalBackend() override { endwin(); }

    void windowChanged(WindowHandle) override { dirty_.store(true); }
    int inputDescriptor() override { return STDIN_FILENO; }

    void flush() override {
        if (!dirty_.exchange(false)) return;
        draw();
    }

    void handleInput() override {
        // Each key's consequences are handled before the next key, as the
        // messages of a window system arrive in order.
        for (int key = getch(); key != ERR; key = getch()) {
            onKey(key);
            if (!pumpMessages()) return;
        }
    }

    int trackPopupMenu(WindowHandle window, const std::vector<MenuItem>& items) override {
        const Screen screen = current();
        // The menu's right edge at the focused control (or the window's middle).
        int width = 0;
        for (const MenuItem& item : items) width = std::max(width, static_cast<int>(item.text.size()));
        width += 4;
        int right = COLS / 2 + width / 2, top = LINES / 2 - static_cast<int>(items.size()) / 2;
        locateFocus(screen, window, right, top);
        const int left = std::max(0, right - width);
        int selected = 0;
        while (selected < static_cast<int>(items.size()) && items[static_cast<size_t>(selected)].text.empty()) ++selected;
        nodelay(stdscr, FALSE);
        int chosen = 0;
        for (bool open = true; open;) {
            drawScreen(screen);
            for (size_t i = 0; i < items.size(); ++i) {
                const bool separator = items[i].text.empty();
                std::string line = separator ? std::string(static_cast<size_t>(width), '-')
                                             : " " + items[i].text + std::string(static_cast<size_t>(width - 1 - static_cast<int>(items[i].text.size())), ' ');
                attrset(static_cast<int>(i) == selected ? A_REVERSE : A_NORMAL);
                mvaddnstr(top + static_cast<int>(i), left, line.c_str(), width);
            }
            attrset(A_NORMAL);
            refresh();
            const int key = getch();
            if (key == KEY_DOWN || key == KEY_UP) {
                const int step = key == KEY_DOWN ? 1 : -1;
                int next = selected;
                do {
                    next = (next + step + static_cast<int>(items.size())) % static_cast<int>(items.size());
                } while (items[static_cast<size_t>(next)].text.empty() && next != selected);
                selected = next;
            } else if (isEnter(key)) {
                chosen = items[static_cast<size_t>(selected)].command;
                open = false;
            } else if (key == kEscape) {
                open = false;
            } else if (key == KEY_MOUSE) {
                MEVENT event{};
                if (getmouse(&event) == OK) {
                    const int row = event.y - top;
                    if (event.x >= left && event.x < left + width && row >= 0 && row < static_cast<int>(items.size())) {
                        chosen = items[static_cast<size_t>(row)].command;
                    }
                    open = false;
                }
            }
        }
        nodelay(stdscr, TRUE);
        dirty_.store(true);
        return chosen;
    }

    void messageBox(WindowHandle, std::string_view text, std::string_view caption, MessageBoxKind) override {
        const Screen screen = current();
        const int width = std::min(COLS, std::max(static_cast<int>(text.size()), static_cast<int>(caption.size())) + 6);
        const int left = std::max(0, (COLS - width) / 2);
        const int top = std::max(0, LINES / 2 - 3);
        nodelay(stdscr, FALSE);
        for (;;) {
            drawScreen(screen);
            const std::string blank(static_cast<size_t>(width), ' ');
            for (int row = 0; row < 5; ++row) mvaddnstr(top + row, left, blank.c_str(), width);
            attrset(A_BOLD);
            mvaddnstr(top, left + 1, std::string(caption).c_str(), width - 2);
            attrset(A_NORMAL);
            mvaddnstr(top + 2, left + 3, std::string(text).c_str(), width - 4);
            attrset(A_REVERSE);
            mvaddstr(top + 4, left + width / 2 - 3, "[ OK ]");
            attrset(A_NORMAL);
            refresh();
            const int key = getch();
            if (isEnter(key) || key == kEscape || key == ' ' || key == KEY_MOUSE) break;
        }
        nodelay(stdscr, TRUE);
        dirty_.store(true);
    }

private:
    Screen current() { return renderScreen(snapshotWindows(), COLS, LINES, focus_, unicode_); }

    void drawScreen(const Screen& screen) {
        for (int y = 0; y < screen.height(); ++y) {
            for (int x = 0; x < screen.width(); ++x) {
                const Cell& cell = screen.at(x, y);
                wchar_t text[2] = {static_cast<wchar_t>(cell.ch), 0};
                cchar_t c;
                setcchar(&c, text, static_cast<attr_t>(cursesAttributes(cell.attr)), 0, nullptr);
                mvadd_wch(y, x, &c);
            }
        }
    }

    void draw() {
        const std::vector<WindowView> windows = snapshotWindows();
        settleFocus(windows);
        screen_ = std::make_unique<Screen>(renderScreen(windows, COLS, LINES, focus_, unicode_));
        drawScreen(*screen_);
        refresh();  // curses sends only the cells that changed
    }

    // The window that takes keys: the newest shown one (property pages
    // take theirs through their sheet).
    const WindowView* activeWindow(const std::vector<WindowView>& windows) {
        const WindowView* active = nullptr;
        for (const WindowView& w : windows) {
            if (w.show == ShowCommand::Normal && w.embeddedIn == kNoWindow) active = &w;
        }
        return active;
    }

    // The controls that take the focus in the active window: its tabs, the
    // page showing in it, then its other controls.
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

    static bool same(const Focus& a, const Focus& b) { return a.window == b.window && a.controlId == b.controlId; }

    void settleFocus(const std::vector<WindowView>& windows) {
        const WindowView* active = activeWindow(windows);
        if (active == nullptr) {
            focus_ = Focus{};
            return;
        }
        const std::vector<Focus> order = focusable(windows, *active);
        for (const Focus& f : order) {
            if (same(f, focus_)) return;
        }
        focus_ = order.empty() ? Focus{active->handle, -1} : order.front();
        for (const ControlView& c : active->controls) {
            if (c.layout.kind == ControlKind::DefaultPushButton && c.enabled) focus_ = Focus{active->handle, c.layout.id};
        }
    }

    void moveFocus(int step) {
        const std::vector<WindowView> windows = snapshotWindows();
        settleFocus(windows);
        const WindowView* active = activeWindow(windows);
        if (active == nullptr) return;
        const std::vector<Focus> order = focusable(windows, *active);
        if (order.empty()) return;
        size_t index = 0;
        for (size_t i = 0; i < order.size(); ++i) {
            if (same(order[i], focus_)) index = i;
        }
        const int n = static_cast<int>(order.size());
        focus_ = order[static_cast<size_t>((static_cast<int>(index) + step + n) % n)];
        dirty_.store(true);
    }

    const ControlView* focusedControl(const std::vector<WindowView>& windows, const ControlView** next = nullptr) {
        for (const WindowView& w : windows) {
            if (w.handle != focus_.window) continue;
            for (size_t i = 0; i < w.controls.size(); ++i) {
                if (w.controls[i].layout.id != focus_.controlId) continue;
                if (next != nullptr) *next = i + 1 < w.controls.size() ? &w.controls[i + 1] : nullptr;
                return &w.controls[i];
            }
        }
        return nullptr;
    }

    // Up and Down change the value of a list, a number with arrows, a date
    // or a list view's first row; true when the focused control took them.
    bool adjust(const std::vector<WindowView>& windows, int step, bool month) {
        const ControlView* buddy = nullptr;
        const ControlView* c = focusedControl(windows, &buddy);
        if (c == nullptr) return false;
        const WindowHandle w = focus_.window;
        const int id = focus_.controlId;
        switch (c->layout.kind) {
            case ControlKind::ComboBox: {
                const int count = static_cast<int>(c->items.size());
                if (count == 0) return true;
                const int next = std::clamp(c->selection + step, 0, count - 1);
                comboSetSelection(w, id, next);
                postCommand(w, id);
                return true;
            }
            case ControlKind::Edit: {
                if (buddy == nullptr || buddy->layout.kind != ControlKind::UpDown) return false;
                bool ok = false;
                const long value = getDlgItemInt(w, id, ok);
                setDlgItemInt(w, id, std::clamp(value + step, static_cast<long>(buddy->low), static_cast<long>(buddy->high)));
                return true;
            }
            case ControlKind::DatePicker:
                setDatePickerTime(w, id, month ? movedByMonths(c->date, step) : movedBy(c->date, step));
                return true;
            default: return false;
        }
    }

    // Digits (and dots in an address) typed into the focused edit.
    bool type(const std::vector<WindowView>& windows, int key) {
        const ControlView* c = focusedControl(windows);
        if (c == nullptr) return false;
        const bool edit = c->layout.kind == ControlKind::Edit;
        const bool address = c->layout.kind == ControlKind::IpAddress;
        if (!edit && !address) return false;
        std::string text = c->text;
        if (key == KEY_BACKSPACE || key == 127 || key == 8) {
            if (!text.empty()) text.pop_back();
        } else if ((key >= '0' && key <= '9') || (address && key == '.')) {
            if (text.size() < (address ? 15u : 5u)) text += static_cast<char>(key);
        } else {
            return false;
        }
        setDlgItemText(focus_.window, focus_.controlId, text);
        return true;
    }

    void press(WindowHandle window, int id) {
        for (const WindowView& w : snapshotWindows()) {
            if (w.handle != window) continue;
            for (const ControlView& c : w.controls) {
                if (c.layout.id != id || !c.enabled) continue;
                if (c.layout.kind == ControlKind::CheckBox) checkDlgButton(window, id, !c.checked);
                if (c.layout.kind == ControlKind::RadioButton) {
                    // A radio button clears the others of its window's group.
                    for (const ControlView& other : w.controls) {
                        if (other.layout.kind == ControlKind::RadioButton) checkDlgButton(window, other.layout.id, false);
                    }
                    checkDlgButton(window, id, true);
                }
                if (c.layout.kind == ControlKind::DatePicker) {
                    pickDate(window, id, c.date);
                    return;
                }
                if (c.layout.kind == ControlKind::ComboBox || c.layout.kind == ControlKind::Edit ||
                    c.layout.kind == ControlKind::IpAddress || c.layout.kind == ControlKind::ListView) {
                    return;  // they change by keys, not by a press
                }
                postCommand(window, id);
            }
        }
    }

    static int daysIn(int year, int month) {
        static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        return month == 2 && leap ? 29 : days[month - 1];
    }

    // A date moved by whole days, keeping its time of day.
    static SystemTime movedBy(const SystemTime& date, int days) {
        platform::FileTime ft = 0;
        if (!platform::systemTimeToFileTime(date, ft)) return date;
        const int64_t day = 86'400LL * static_cast<int64_t>(platform::kFileTimeUnitsPerSecond);
        SystemTime moved = date;
        if (!platform::fileTimeToSystemTime(static_cast<platform::FileTime>(static_cast<int64_t>(ft) + days * day), moved)) {
            return date;
        }
        return moved;
    }

    static SystemTime movedByMonths(const SystemTime& date, int months) {
        SystemTime moved = date;
        int month = date.month - 1 + months;
        int year = date.year + (month < 0 ? (month - 11) / 12 : month / 12);
        month = ((month % 12) + 12) % 12 + 1;
        moved.year = static_cast<uint16_t>(year);
        moved.month = static_cast<uint16_t>(month);
        moved.day = static_cast<uint16_t>(std::min<int>(date.day, daysIn(year, month)));
        return movedBy(moved, 0);  // sets the day of the week
    }

    // The drop-down calendar of a date picker: arrows move by a day or a
    // week, Page Up and Down by a month; Enter or a click takes the date
    // (with the time of day the picker had), Escape keeps the old one.
    void pickDate(WindowHandle window, int id, SystemTime date) {
        const Screen screen = current();
        int left = COLS / 2 - 11, top = LINES / 2 - 5;
        for (int y = 0; y < screen.height(); ++y) {
            for (int x = 0; x < screen.width(); ++x) {
                const Hit& hit = screen.at(x, y).hit;
                if (hit.kind == Hit::Kind::Control && hit.window == window && hit.controlId == id) {
                    left = x;
                    top = y + 1;
                    y = screen.height();
                    break;
                }
            }
        }
        left = std::max(0, std::min(left, COLS - 22));
        top = std::max(0, std::min(top, LINES - 9));
        static constexpr const char* kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                                  "July",    "August",   "September", "October", "November", "December"};
        nodelay(stdscr, FALSE);
        bool take = false;
        for (bool open = true; open;) {
            drawScreen(screen);
            const std::string blank(22, ' ');
            for (int row = 0; row < 9; ++row) mvaddnstr(top + row, left, blank.c_str(), 22);
            attrset(A_BOLD);
            const std::string title = std::string(kMonths[date.month - 1]) + " " + std::to_string(date.year);
            mvaddstr(top, left + (22 - static_cast<int>(title.size())) / 2, title.c_str());
            attrset(A_NORMAL);
            mvaddstr(top + 1, left + 1, "Su Mo Tu We Th Fr Sa");
            SystemTime first = date;
            first.day = 1;
            first = movedBy(first, 0);
            const int lastDay = daysIn(date.year, date.month);
            for (int day = 1; day <= lastDay; ++day) {
                const int cell = first.dayOfWeek + day - 1;
                attrset(day == date.day ? A_REVERSE : A_NORMAL);
                mvprintw(top + 2 + cell / 7, left + 1 + (cell % 7) * 3, "%2d", day);
            }
            attrset(A_NORMAL);
            refresh();
            const int key = getch();
            if (key == KEY_LEFT || key == KEY_RIGHT) {
                date = movedBy(date, key == KEY_RIGHT ? 1 : -1);
            } else if (key == KEY_UP || key == KEY_DOWN) {
                date = movedBy(date, key == KEY_DOWN ? 7 : -7);
            } else if (key == KEY_NPAGE || key == KEY_PPAGE) {
                date = movedByMonths(date, key == KEY_NPAGE ? 1 : -1);
            } else if (isEnter(key) || key == ' ') {
                take = true;
                open = false;
            } else if (key == kEscape) {
                open = false;
            } else if (key == KEY_MOUSE) {
                MEVENT event{};
                if (getmouse(&event) == OK) {
                    const int row = event.y - top - 2;
                    const int column = (event.x - left - 1) / 3;
                    const int day = row * 7 + column - first.dayOfWeek + 1;
                    if (row >= 0 && column >= 0 && column < 7 && day >= 1 && day <= lastDay) {
                        date.day = static_cast<uint16_t>(day);
                        date = movedBy(date, 0);
                        take = true;
                    }
                    open = false;
                }
            }
        }
        nodelay(stdscr, TRUE);
        if (take) setDatePickerTime(window, id, date);
        dirty_.store(true);
    }

    // With no window shown, Enter and a left click bring back the first
    // taskbar or notification-area entry.
    bool restoreHidden(const std::vector<WindowView>& windows) {
        for (const WindowView& w : windows) {
            if (w.show == ShowCommand::Minimised) {
                showWindow(w.handle, ShowCommand::Normal);
                return true;
            }
            if (w.trayIcon) {
                postMessage(w.handle, WindowMessage{MessageKind::TrayCallback, 0, kTrayLeftButtonDown});
                return true;
            }
        }
        return false;
    }

    void onKey(int key) {
        const std::vector<WindowView> windows = snapshotWindows();
        settleFocus(windows);
        const WindowView* active = activeWindow(windows);
        if (key == KEY_RESIZE) {
            dirty_.store(true);
            return;
        }
        if (key == KEY_MOUSE) {
            onMouse();
            return;
        }
        if (active == nullptr) {
            if (isEnter(key)) restoreHidden(windows);
            return;
        }
        if (key == KEY_DOWN || key == KEY_UP) {
            if (!adjust(windows, key == KEY_DOWN ? 1 : -1, false)) moveFocus(key == KEY_DOWN ? 1 : -1);
        } else if (key == KEY_NPAGE || key == KEY_PPAGE) {
            (void)adjust(windows, key == KEY_NPAGE ? 1 : -1, true);
        } else if (key == '\t' || key == KEY_RIGHT) {
            moveFocus(1);
        } else if (key == KEY_BTAB || key == KEY_LEFT) {
            moveFocus(-1);
        } else if (type(windows, key)) {
            dirty_.store(true);
        } else if (isEnter(key)) {
            postCommand(active->handle, 1);
        } else if (key == kEscape) {
            postCommand(active->handle, 2);
        } else if (key == ' ') {
            if (focus_.controlId != -1) press(focus_.window, focus_.controlId);
        } else if (key == kShiftF10 || key == kMenuKey) {
            postMessage(active->handle, WindowMessage{MessageKind::RightButtonUp});
        } else if (key == kCloseKey) {
            postMessage(active->handle, WindowMessage{MessageKind::Close});
        } else if (key == kMinimiseKey && !active->modal) {
            showWindow(active->handle, ShowCommand::Minimised);
        }
    }

    void onMouse() {
        MEVENT event{};
        if (getmouse(&event) != OK || !screen_) return;
        if (event.x < 0 || event.y < 0 || event.x >= screen_->width() || event.y >= screen_->height()) return;
        const Hit hit = screen_->at(event.x, event.y).hit;
        const bool right = (event.bstate & (BUTTON3_PRESSED | BUTTON3_CLICKED)) != 0;
        switch (hit.kind) {
            case Hit::Kind::Control:
                if (right) {
                    postMessage(hit.window, WindowMessage{MessageKind::RightButtonUp});
                } else {
                    focus_ = Focus{hit.window, hit.controlId};
                    press(hit.window, hit.controlId);
                    dirty_.store(true);
                }
                break;
            case Hit::Kind::Window:
                if (right) postMessage(hit.window, WindowMessage{MessageKind::RightButtonUp});
                break;
            case Hit::Kind::MinimiseBox: showWindow(hit.window, ShowCommand::Minimised); break;
            case Hit::Kind::CloseBox: postMessage(hit.window, WindowMessage{MessageKind::Close}); break;
            case Hit::Kind::TaskbarEntry: showWindow(hit.window, ShowCommand::Normal); break;
            case Hit::Kind::TrayEntry:
                postMessage(hit.window, WindowMessage{MessageKind::TrayCallback, 0,
                                                      right ? kTrayRightButtonDown : kTrayLeftButtonDown});
                break;
            case Hit::Kind::None: break;
        }
    }

    void locateFocus(const Screen& screen, WindowHandle window, int& right, int& top) {
        for (int y = 0; y < screen.height(); ++y) {
            for (int x = screen.width() - 1; x >= 0; --x) {
                const Hit& hit = screen.at(x, y).hit;
                if (hit.kind == Hit::Kind::Control && hit.window == window && hit.controlId == focus_.controlId) {
                    right = x + 1;
                    top = y + 1;
                    return;
                }
            }
        }
    }

    std::atomic<bool> dirty_{true};
    bool unicode_ = false;
    Focus focus_{};
    std::unique_ptr<Screen> screen_;
};

}  // namespace

bool terminalAvailable() { return isatty(STDIN_FILENO) != 0 && isatty(STDOUT_FILENO) != 0; }

std::unique_ptr<DialogBackend> makeTerminalBackend() { return std::make_unique<TerminalBackend>(); }

}  // namespace tavrel::gui

namespace tavrel::gui {

// On Linux the user sees the windows in the terminal.
bool interactiveBackendAvailable() { return terminalAvailable(); }
std::unique_ptr<DialogBackend> makeInteractiveBackend() { return makeTerminalBackend(); }

}  // namespace tavrel::gui
