#pragma once

#include "gui/dialog.h"

namespace tavrel {

// Refills the server combo from the list (which marks an empty list; that
// moves "Use List" to Manual A) and selects selectedServer.
void refreshServerCombo(gui::WindowHandle page);

}  // namespace tavrel
