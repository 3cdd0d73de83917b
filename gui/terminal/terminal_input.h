// Keys and mouse buttons as the terminal window understands them, decoded
// from what curses reads.
#pragma once

#include <cstdint>

namespace tavrel::gui {

enum class Key {
    None,
    Char,  // a printable character (InputEvent::ch)
    Enter,
    Escape,
    Tab,
    BackTab,
    Up,
    Down,
    Left,
    Right,
    PageUp,
    PageDown,
    Home,
    End,
    Backspace,
    Menu,      // F10 or Shift-F10: the window's menu
    Close,     // F4: the title bar's close box
    Minimise,  // F8: the title bar's minimise box
    Resize,    // the terminal changed size
};

struct InputEvent {
    enum class Type { None, Key, Press, Release, Wheel };
    Type type = Type::None;
    Key key = Key::None;
    char32_t ch = 0;
    // Press, Release and Wheel: the cell under the pointer; the button.
    int x = 0;
    int y = 0;
    bool rightButton = false;
    // Wheel: -1 a notch up (away from the user), 1 a notch down.
    int wheel = 0;
};

// A key code from curses' getch (KEY_* or a character).
InputEvent decodeKey(int code);
// A mouse event from curses' getmouse: a press or a release of the left or
// right button, or a notch of the wheel; anything else (movement) decodes
// to None.
InputEvent decodeMouse(uint64_t buttonState, int x, int y);

}  // namespace tavrel::gui
