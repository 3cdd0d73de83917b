// The History view: the clock's offset and the servers' round trip against
// time, from the history file, over the last day, the last week or all of
// it, with their minimum, median and maximum. Opened from the menu, and by
// H in the terminal's main window.
#pragma once

#include <cstddef>
#include <vector>

#include "gui/dialog.h"
#include "platform/time.h"
#include "storage/history.h"

namespace tavrel {

enum class HistorySpan { Day, Week, All };

// Fills an open History view with the entries of the span ending `now`,
// and says how many rows of the file could not be read, if any.
void fillHistoryView(gui::WindowHandle view, HistorySpan span, platform::FileTime now,
                     const std::vector<HistoryEntry>& entries, size_t skippedRows);

// Opens the view over `owner` and returns when it is closed.
void showHistoryView(gui::WindowHandle owner);

}  // namespace tavrel
