// Drawing windows into character cells: about 4 dialog units a column and
// 8 a row. Pure: the terminal backend copies the result to the terminal,
// and tests compare it as text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gui/dialog_backend.h"

namespace tavrel::gui {

inline constexpr uint8_t kAttrBold = 1;
inline constexpr uint8_t kAttrReverse = 2;
inline constexpr uint8_t kAttrDim = 4;
inline constexpr uint8_t kAttrUnderline = 8;

// What a cell stands for when clicked.
struct Hit {
    enum class Kind { None, Window, Control, MinimiseBox, CloseBox, TaskbarEntry, TrayEntry };
    Kind kind = Kind::None;
    WindowHandle window = kNoWindow;
    int controlId = -1;
};

struct Cell {
    char32_t ch = U' ';
    uint8_t attr = 0;
    Hit hit{};
};

class Screen {
public:
    Screen(int width, int height) : width_(width), height_(height), cells_(static_cast<size_t>(width * height)) {}
    int width() const { return width_; }
    int height() const { return height_; }
    const Cell& at(int x, int y) const { return cells_[static_cast<size_t>(y * width_ + x)]; }
    // Writes text from (x, y), cut at the right edge or after `limit` cells.
    void put(int x, int y, const std::u32string& text, uint8_t attr, const Hit& hit, int limit = -1);
    void fill(int x, int y, int width, int height, const Hit& hit);
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

// Where a window's frame goes on a screen of the given size.
struct Placement {
    int left, top, width, height;  // the frame, title bar included
};
Placement placeWindow(const WindowView& window, int screenWidth, int screenHeight);

// Draws every shown window (modal ones last), the taskbar entries of
// minimised windows and the notification-area entries, and the tooltip of
// the focused control.
Screen renderScreen(const std::vector<WindowView>& windows, int width, int height, const Focus& focus,
                    bool unicode);

// Controls that take the focus (buttons, boxes, edits, lists).
bool takesFocus(ControlKind kind);

std::u32string fromUtf8(const std::string& text);
std::string toUtf8(const std::u32string& text);

}  // namespace tavrel::gui
