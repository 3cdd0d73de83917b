// A popup of the terminal window (a menu, a message box, a calendar or a
// drop-down list), shared by the files that open, draw and close them.
#pragma once

#include <string>
#include <vector>

#include "gui/terminal/terminal_ui.h"

namespace tavrel::gui {

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

}  // namespace tavrel::gui
