// The dialog manager's backend for a terminal (ncurses): windows drawn in
// character cells, keyboard and mouse input.
#pragma once

#include <memory>

#include "gui/dialog_backend.h"

namespace tavrel::gui {

// True when standard input and output are a terminal.
bool terminalAvailable();
// Takes over the terminal until the backend is destroyed.
std::unique_ptr<DialogBackend> makeTerminalBackend();

}  // namespace tavrel::gui
