#pragma once

#include <atomic>
#include <cstdint>

#include "gui/dialog.h"

namespace tavrel {

// Set while the About page is open; the About command is ignored meanwhile
// (written by the window thread).
extern std::atomic<int32_t> aboutOpen;

// The About page: the version, the program's folders and the system it
// runs on; closed by OK or Escape.
void showAboutPage(gui::WindowHandle owner);

}  // namespace tavrel
