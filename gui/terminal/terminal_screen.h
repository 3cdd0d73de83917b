// Drawing windows into character cells. Pure: the terminal backend copies
// the cells to the terminal (each style in colour where the terminal has it,
// in attributes where it has not), and tests compare them as text.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "gui/dialog_backend.h"
#include "gui/terminal/terminal_layout.h"

namespace tavrel::gui {

// What a cell is, for its look.
enum class Style : uint8_t {
    Normal,
    Frame,          // a window's frame and a group's rule
    Title,          // the active window's caption, a group's heading
    Button,
    DefaultButton,  // the button Enter presses when no other has the focus
    Field,          // edits, lists, dates, addresses
    Focus,          // the control that has the focus
    Disabled,       // greyed
    Tab,
    SelectedTab,    // the tab whose page shows
    Inactive,       // a window under a modal one
    Tooltip,
    Hint,           // the key hints on the last line
    Entry,          // a taskbar or notification-area entry
    Popup,          // menus, message boxes, calendars, drop-down lists
    PopupSelected,
    Warning,        // the terminal is too small
};

// What a cell stands for when clicked.
struct Hit {
    enum class Kind { None, Window, Control, MinimiseBox, CloseBox, TaskbarEntry, TrayEntry, PopupItem, Outside };
    Kind kind = Kind::None;
    WindowHandle window = kNoWindow;
    int controlId = -1;  // for PopupItem: the item's index
};

struct Cell {
    char32_t ch = U' ';
    Style style = Style::Normal;
    Hit hit{};
};

class Screen {
public:
    Screen(int width, int height) : width_(width), height_(height), cells_(static_cast<size_t>(width * height)) {}
    int width() const { return width_; }
    int height() const { return height_; }
    const Cell& at(int x, int y) const { return cells_[static_cast<size_t>(y * width_ + x)]; }
    Cell& at(int x, int y) { return cells_[static_cast<size_t>(y * width_ + x)]; }
    // Writes text from (x, y), cut at the right edge or after `limit` cells.
    void put(int x, int y, const std::u32string& text, Style style, const Hit& hit, int limit = -1);
    // Blanks a rectangle and gives its cells a target.
    void clear(int x, int y, int width, int height, Style style, const Hit& hit);
    // The screen as UTF-8 lines, trailing blanks removed.
    std::vector<std::string> lines() const;

private:
    int width_, height_;
    std::vector<Cell> cells_;
};

struct Focus {
    WindowHandle window = kNoWindow;
    int controlId = -1;
};

// The glyphs of a UTF-8 terminal, or their ASCII stand-ins.
struct Glyphs {
    char32_t topLeft, topRight, bottomLeft, bottomRight, horizontal, vertical, teeLeft, teeRight, icon, dropDown,
        upDown;
    // A list's scroll bar: its arrows, its track and the part of it that
    // stands for the rows shown.
    char32_t scrollUp, scrollDown, scrollTrack, scrollThumb;
    // The terminal can dim text. Where it cannot (a vt100), greyed controls
    // are drawn without their brackets so that they still look unlike the
    // others.
    bool dims = true;
};
const Glyphs& glyphsFor(bool unicode);

// Where a window goes: its frame on the screen and its controls inside it.
struct WindowGeometry {
    int left = 0, top = 0, width = 0, height = 0;  // the frame, title bar included
    GridLayout layout;                             // the window's own controls
    // A property sheet's pages lie from this row of its inside.
    int pageTop = 0;
};

// The property page a sheet shows lies below its tabs and a rule.
inline constexpr int kPageTopRow = 2;

// The frame size of a window (with its pages, for a sheet), not yet placed.
WindowGeometry measureWindow(const WindowView& window, const std::vector<WindowView>& all);

// The row the keys move in each list view, by its window and id. A list
// view's ControlView::selection is the first row it shows.
using ListCurrentRows = std::map<std::pair<WindowHandle, int>, int>;

// Draws one window at its geometry, its pages inside it; `active` windows
// show focus and a bright caption, others are drawn inactive. A list view
// with rows hidden above or below shows a scroll bar in its right column.
void drawWindow(Screen& screen, const WindowView& window, const std::vector<WindowView>& all,
                const WindowGeometry& geometry, const Focus& focus, bool active, const Glyphs& glyphs,
                const ListCurrentRows& currentRows = {});

// The rows a list view shows below its header, laid out as `cells` gives.
inline int listRowsShown(int cellsHigh) { return cellsHigh > 1 ? cellsHigh - 1 : 1; }

// A frame with a caption (for popups), its inside blanked.
void drawBox(Screen& screen, int left, int top, int width, int height, const std::u32string& caption, Style style,
             const Hit& hit, const Glyphs& glyphs);

// Words of `text` in lines of at most `width` cells, at most `maxLines`
// lines (the last ending "..." when the text goes on).
std::vector<std::u32string> wrapWords(const std::u32string& text, int width, int maxLines);

// Controls that take the focus (buttons, boxes, edits, lists, tabs).
bool takesFocus(ControlKind kind);

std::u32string fromUtf8(const std::string& text);
std::string toUtf8(const std::u32string& text);

}  // namespace tavrel::gui
