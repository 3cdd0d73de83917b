// What the terminal window does with keys and clicks, and what it shows:
// the windows centred, the focused control's tooltip under the active
// window, the taskbar and notification-area entries on the last line, and
// the popups (menus, message boxes, calendars, drop-down lists). Pure of
// curses: the terminal backend feeds it decoded input and copies its
// cells to the terminal, and tests drive it directly.
//
// Keys follow Windows' dialog manager: Tab and Shift-Tab move the focus;
// Enter presses the focused push button (or selects the focused tab), and
// otherwise the window's default button; Escape is Cancel; Space presses
// the focused control (ticks a box, opens a calendar or a list); Up raises
// a number or a date and Down lowers it; Up and Down step through a list;
// Left and Right switch tabs. In a list view Up and Down move the current
// row, PgUp and PgDn by a page, Home and End to the first and the last,
// and the view follows it; the wheel scrolls the list under the pointer.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gui/dialog.h"
#include "gui/terminal/terminal_input.h"
#include "gui/terminal/terminal_screen.h"

namespace tavrel::gui {

class TerminalUi {
public:
    explicit TerminalUi(bool unicode);
    ~TerminalUi();

    // Whether the terminal can dim text (greyed controls are dimmed).
    void setCanDim(bool dims) { glyphs_.dims = dims; }

    // Draws the windows as they are now (and keeps the cells for clicks).
    const Screen& render(int width, int height);
    // The terminal's size now (after a resize, before the next render).
    void setScreenSize(int width, int height);
    // Acts on one key or mouse event; nothing while the windows as they are
    // now do not fit the terminal as it is now.
    void handle(const InputEvent& event);

    // Popups the program waits for: the backend opens one, then runs the
    // message loop until popupOpen(token) is false. A popup opened over
    // another takes the keys until it closes.
    int openMenu(WindowHandle window, const std::vector<MenuItem>& items);
    int openMessage(WindowHandle owner, const std::string& text, const std::string& caption);
    bool popupOpen(int token) const;
    bool anyPopupOpen() const { return !popups_.empty(); }
    // Closes the popup (and any opened over it) as Escape does.
    void closePopup(int token);
    // The command of the item the menu closed with, or 0; once.
    int takeMenuChoice(int token);

    // The focused control of the window that takes keys.
    Focus focus();
    // A list view's current row (0 until the keys or a click move it).
    int listCurrentRow(WindowHandle window, int id) const;
    // The window that takes keys: the newest shown window.
    WindowHandle activeWindow();

private:
    // The terminal's size as last given (0: not yet known).
    int screenWidth_ = 0;
    int screenHeight_ = 0;
    struct Popup;

    // The windows drawn on their own (not embedded, not hidden), their
    // sizes, and the terminal they need: each with a line for its tooltip
    // and the entries line.
    struct ShownWindows {
        std::vector<const WindowView*> windows;
        std::vector<WindowGeometry> geometry;
        int needWidth = 0;
        int needHeight = 0;
    };
    static ShownWindows shownWindows(const std::vector<WindowView>& windows);
    // Whether the shown windows need more than the terminal has.
    bool tooSmall(const std::vector<WindowView>& windows) const;

    // The focus the window shows: the control last given it, or the one it
    // starts with. settledFocus also records it for the keys.
    Focus shownFocus(const std::vector<WindowView>& windows, const WindowView& active) const;
    Focus settledFocus(const std::vector<WindowView>& windows, const WindowView& active);
    void setFocus(const std::vector<WindowView>& windows, const Focus& focus);
    void moveFocus(const std::vector<WindowView>& windows, const WindowView& active, int step);
    void handleKey(const InputEvent& event);
    void handlePress(const InputEvent& event);
    void handlePopupKey(const InputEvent& event);
    void handlePopupPress(const Hit& hit);
    bool restoreHidden(const std::vector<WindowView>& windows);
    void press(const std::vector<WindowView>& windows, const Focus& target);
    bool adjust(const std::vector<WindowView>& windows, const Focus& target, Key key);
    bool type(const std::vector<WindowView>& windows, const Focus& target, const InputEvent& event);
    int openPopup(std::unique_ptr<Popup> popup, const Focus& target);
    // Where a list view stands: the row the keys move and the first row
    // shown, kept in range of its rows as they are now (the current row
    // brought into view when `follow`).
    struct ListPlace {
        int current = 0;
        int top = 0;
    };
    ListPlace& listPlace(const WindowView& owner, size_t index, bool follow);
    bool moveInList(const std::vector<WindowView>& windows, const Focus& target, Key key);
    void handleWheel(const InputEvent& event);
    // A click on a list's row makes it current; one on its scroll bar scrolls.
    void clickList(const std::vector<WindowView>& windows, const Focus& target, int x, int y);
    // Gives each list view's snapshot its first row shown; the current rows.
    ListCurrentRows placeLists(std::vector<WindowView>& windows);
    // "13-24 of 27" for the focused list when rows are hidden; empty otherwise.
    std::u32string listRange(const std::vector<WindowView>& windows, const Focus& focus) const;
    void finishPopup(bool take);
    void drawPopup(Screen& screen, const Popup& popup);
    void drawEntries(Screen& screen, const std::vector<WindowView>& windows, bool anyShown);

    Glyphs glyphs_;
    std::map<WindowHandle, Focus> focusByWindow_;
    std::map<std::pair<WindowHandle, int>, ListPlace> lists_;
    // The first key typed into a field that has just taken the focus
    // replaces its text.
    bool replaceOnType_ = true;
    // A mouse button is down (its press was seen).
    bool leftDown_ = false, rightDown_ = false;
    // The focus the keys last acted from.
    Focus lastSettled_{};
    std::vector<std::unique_ptr<Popup>> popups_;
    int lastToken_ = 0;
    std::map<int, int> menuChoices_;
    std::unique_ptr<Screen> screen_;
    // Where the focused control was last drawn (popups open beside it).
    int focusX_ = 0, focusY_ = 0, focusRight_ = 0;
    // Where the last screen drew each window's tray entry: a menu of a
    // window in the tray opens above its entry.
    struct EntrySpan {
        int left = 0, right = 0, row = 0;
    };
    std::map<WindowHandle, EntrySpan> trayEntries_;
};

}  // namespace tavrel::gui
