#pragma once

#include "gui/dialog.h"

namespace tavrel {

// The time-zone dialog (1001): the zone in force and its two phases, with
// the lock box; closed only by OK, which applies the lock.
void showTimeZoneDialog(gui::WindowHandle owner);

// Looks at the zone afresh (refreshTimeZone) and names its phase in force
// in the window's caption.
void refreshTimeZoneCaption(gui::WindowHandle window);

}  // namespace tavrel
