// Access keys (Alt and a letter) for the controls of a window, given the
// same way in every backend that shows them: a button, check box or radio
// button takes the first letter or digit of its text that no control
// before it took.
#pragma once

#include <string>
#include <vector>

#include "gui/dialog_backend.h"

namespace tavrel::gui {

bool takesAccessKey(ControlKind kind);
// The text of controls[index] with its access key marked by `mark` before
// it, and `mark` itself doubled where the text holds it ("&" on Windows,
// "_" in GTK). Controls that take no key get their text as it is.
std::string accessKeyText(const std::vector<ControlView>& controls, size_t index, char mark);

}  // namespace tavrel::gui
