// Which windows take input while modal windows show: only the newest modal
// window shown, with the windows opened from it (the scan window opened
// from the Options sheet); every window when none shows.
#pragma once

#include <vector>

#include "gui/dialog_backend.h"

namespace tavrel::gui {

// For each of `views` (pages, embedded in their sheets, count as taking
// input), whether it takes input now.
std::vector<bool> windowsTakingInput(const std::vector<WindowView>& views);

}  // namespace tavrel::gui
