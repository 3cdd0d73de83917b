#pragma once

#include "gui/dialog.h"

namespace tavrel {

// Refills the server combo from the list, marks an empty list (which
// moves "Use List" to Manual A) and selects selectedServer.
void refreshServerCombo(gui::WindowHandle page);

}  // namespace tavrel
