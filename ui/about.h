#pragma once

#include "gui/dialog.h"

namespace tavrel {

// The About page: the version, the program's folders and the system it
// runs on; closed by OK or Escape.
void showAboutPage(gui::WindowHandle owner);

}  // namespace tavrel
