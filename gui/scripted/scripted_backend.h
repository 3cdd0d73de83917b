// A dialog-manager backend without a screen: it reads one instruction a
// line from standard input and answers on standard output, so that scripts
// (and tests) can drive the real program. Instructions:
//   command N      the window receives command N
//   close          the close box
//   minimise       minimise the window
//   restore        restore it
//   tray M         a mouse event M on the notification-area entry
//   rclick         a right click on the window
//   taskbar        the notification area came back
//   endsession     the session ends
//   show N         prints "N: text" of control N (line breaks as \n)
//   caption        prints the window's caption
//   state          prints "shown", "minimised" or "hidden", and "tray" with its tip
#pragma once

#include <memory>

#include "gui/dialog_backend.h"

namespace tavrel::gui {

std::unique_ptr<DialogBackend> makeScriptedBackend(WindowHandle& target);

}  // namespace tavrel::gui
