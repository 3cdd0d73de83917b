// A chart control in character cells: the series as a line of braille dots
// (two columns and four rows of dots a cell; '*' a cell on a terminal
// without them), the y axis's labels at its left, the x axis's below.
#pragma once

#include <string>
#include <vector>

#include "gui/dialog.h"

namespace tavrel::gui {

std::vector<std::u32string> chartLines(const ChartData& chart, int width, int height, bool unicode);

}  // namespace tavrel::gui
