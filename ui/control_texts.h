// Windows take their texts and tooltips from the string table through the
// slots their templates name, so a changed "Strings.txt" relabels the whole
// program.
#pragma once

#include "gui/dialog.h"

namespace tavrel {

// Sets each control's text and tooltip from the slots of its template.
void applyTemplateTexts(gui::WindowHandle window);

}  // namespace tavrel
