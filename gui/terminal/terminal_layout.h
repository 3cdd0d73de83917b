// Laying a window's controls out on the character grid. A column is 4
// dialog units; rows follow the controls' lines: each line (a control's
// middle, or the top of a group or a multi-line control) takes the row its
// position gives at 10 units a row, but never the row of the line before,
// so controls 8 units apart keep apart while wide gaps shrink. Controls on
// lines less than 5 units apart share a row (a label beside its field).
// Pure: the renderer draws what this decides, and tests check it.
#pragma once

#include <string>
#include <vector>

#include "gui/dialog_backend.h"

namespace tavrel::gui {

inline constexpr int kUnitsPerColumn = 4;
inline constexpr int kUnitsPerRow = 10;

// A control's cells inside its window's frame; height 0: not drawn (an
// up-down control is drawn inside the edit before it).
struct GridRect {
    int col = 0;
    int row = 0;
    int width = 0;
    int height = 0;
};

struct GridLayout {
    std::vector<GridRect> cells;  // one per control, in template order
    int columns = 0;              // the window's inside
    int rows = 0;
};

// The layout of a window of widthUnits with these controls and their
// present texts.
GridLayout layOutControls(const std::vector<ControlView>& controls, int widthUnits);

// Controls that take more than one row: framed texts (the clocks), list
// views and labels taller than a line.
bool multiLine(const ControlView& control);

// The number of cells a text takes (one per character).
int textCells(const std::string& utf8);

}  // namespace tavrel::gui
