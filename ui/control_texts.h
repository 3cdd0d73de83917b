// Windows take their texts and tooltips from the string table through
// fixed tables of (slot, control id) pairs, so a changed "Strings.txt"
// relabels the whole program.
#pragma once

#include <span>

#include "gui/dialog.h"

namespace tavrel {

struct ControlText {
    int slot;
    int controlId;
};

extern const std::span<const ControlText> kMainWindowTexts;
extern const std::span<const ControlText> kMainWindowTooltips;
extern const std::span<const ControlText> kOptionsTexts;
extern const std::span<const ControlText> kOptionsTooltips;
extern const std::span<const ControlText> kTimeZoneTexts;

// Sets each control's text from its slot; missing controls are skipped.
void setControlTexts(gui::WindowHandle window, std::span<const ControlText> table);
// Gives each control its tooltip from its slot.
void attachTooltips(gui::WindowHandle window, std::span<const ControlText> table);

}  // namespace tavrel
