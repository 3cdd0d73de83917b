#pragma once

#include "platform/dialog.h"

namespace tavrel {

// Reads the time zone in force, re-applies a locked zone and names the
// current phase in the window's caption.
void refreshTimeZone(platform::WindowHandle window);

}  // namespace tavrel
