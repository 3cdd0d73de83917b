#include "platform/terminal_backend.h"

#include <langinfo.h>
#include <ncurses.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "platform/terminal_screen.h"

namespace tavrel::platform {
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
        for (int key = getch(); key != ERR; key = getch()) onKey(key);
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

    // The window that takes keys: a modal one, else the topmost shown.
    const WindowView* activeWindow(const std::vector<WindowView>& windows) {
        const WindowView* active = nullptr;
        for (const WindowView& w : windows) {
            if (w.show == ShowCommand::Normal && (active == nullptr || w.modal || !active->modal)) active = &w;
        }
        return active;
    }

    std::vector<int> focusable(const WindowView& w) {
        std::vector<int> ids;
        for (const ControlView& c : w.controls) {
            if (takesFocus(c.layout.kind) && c.enabled && c.layout.id != -1) ids.push_back(c.layout.id);
        }
        return ids;
    }

    void settleFocus(const std::vector<WindowView>& windows) {
        const WindowView* active = activeWindow(windows);
        if (active == nullptr) {
            focus_ = Focus{};
            return;
        }
        const std::vector<int> ids = focusable(*active);
        if (focus_.window != active->handle || std::find(ids.begin(), ids.end(), focus_.controlId) == ids.end()) {
            focus_.window = active->handle;
            focus_.controlId = ids.empty() ? -1 : ids.front();
            for (const ControlView& c : active->controls) {
                if (c.layout.kind == ControlKind::DefaultPushButton && c.enabled) focus_.controlId = c.layout.id;
            }
        }
    }

    void moveFocus(int step) {
        const std::vector<WindowView> windows = snapshotWindows();
        settleFocus(windows);
        const WindowView* active = activeWindow(windows);
        if (active == nullptr) return;
        const std::vector<int> ids = focusable(*active);
        if (ids.empty()) return;
        auto it = std::find(ids.begin(), ids.end(), focus_.controlId);
        const int index = it == ids.end() ? 0 : static_cast<int>(it - ids.begin());
        focus_.controlId = ids[static_cast<size_t>((index + step + static_cast<int>(ids.size())) % static_cast<int>(ids.size()))];
        dirty_.store(true);
    }

    void press(WindowHandle window, int id) {
        for (const WindowView& w : snapshotWindows()) {
            if (w.handle != window) continue;
            for (const ControlView& c : w.controls) {
                if (c.layout.id != id || !c.enabled) continue;
                if (c.layout.kind == ControlKind::CheckBox) checkDlgButton(window, id, !c.checked);
                if (c.layout.kind == ControlKind::RadioButton) checkDlgButton(window, id, true);
                postCommand(window, id);
            }
        }
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
        if (key == '\t' || key == KEY_RIGHT || key == KEY_DOWN) {
            moveFocus(1);
        } else if (key == KEY_BTAB || key == KEY_LEFT || key == KEY_UP) {
            moveFocus(-1);
        } else if (isEnter(key)) {
            postCommand(active->handle, 1);
        } else if (key == kEscape) {
            postCommand(active->handle, 2);
        } else if (key == ' ') {
            if (focus_.controlId != -1) press(active->handle, focus_.controlId);
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

}  // namespace tavrel::platform
