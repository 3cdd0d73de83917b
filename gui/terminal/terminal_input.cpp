#include "gui/terminal/terminal_input.h"

#include <ncurses.h>

namespace tavrel::gui {
namespace {

constexpr int kEscape = 27;
constexpr int kDelete = 127;
constexpr int kControlH = 8;
constexpr int kShiftF10 = KEY_F(22);
// The wheel's notches come as presses of buttons 4 (up) and 5 (down).
constexpr uint64_t kWheelUp = BUTTON4_PRESSED;
constexpr uint64_t kWheelDown = BUTTON5_PRESSED;

InputEvent key(Key k) {
    InputEvent e;
    e.type = InputEvent::Type::Key;
    e.key = k;
    return e;
}

}  // namespace

InputEvent decodeKey(int code) {
    switch (code) {
        case '\n':
        case '\r':
        case KEY_ENTER: return key(Key::Enter);
        case kEscape: return key(Key::Escape);
        case '\t': return key(Key::Tab);
        case KEY_BTAB: return key(Key::BackTab);
        case KEY_UP: return key(Key::Up);
        case KEY_DOWN: return key(Key::Down);
        case KEY_LEFT: return key(Key::Left);
        case KEY_RIGHT: return key(Key::Right);
        case KEY_PPAGE: return key(Key::PageUp);
        case KEY_NPAGE: return key(Key::PageDown);
        case KEY_HOME: return key(Key::Home);
        case KEY_END: return key(Key::End);
        case KEY_BACKSPACE:
        case kDelete:
        case kControlH: return key(Key::Backspace);
        case KEY_F(10):
        case kShiftF10: return key(Key::Menu);
        case KEY_F(4): return key(Key::Close);
        case KEY_F(8): return key(Key::Minimise);
        case KEY_RESIZE: return key(Key::Resize);
        default: break;
    }
    if (code >= ' ' && code < kDelete) {
        InputEvent e = key(Key::Char);
        e.ch = static_cast<char32_t>(code);
        return e;
    }
    return InputEvent{};
}

InputEvent decodeMouse(uint64_t state, int x, int y) {
    InputEvent e;
    e.x = x;
    e.y = y;
    // A click is a press: terminals that send no separate press report one.
    if ((state & (BUTTON1_PRESSED | BUTTON1_CLICKED | BUTTON3_PRESSED | BUTTON3_CLICKED)) != 0) {
        e.type = InputEvent::Type::Press;
        e.rightButton = (state & (BUTTON3_PRESSED | BUTTON3_CLICKED)) != 0;
    } else if ((state & (BUTTON1_RELEASED | BUTTON3_RELEASED)) != 0) {
        e.type = InputEvent::Type::Release;
        e.rightButton = (state & BUTTON3_RELEASED) != 0;
    } else if ((state & kWheelUp) != 0 || (state & kWheelDown) != 0) {
        e.type = InputEvent::Type::Wheel;
        e.wheel = (state & kWheelUp) != 0 ? -1 : 1;
    }
    return e;
}

}  // namespace tavrel::gui
