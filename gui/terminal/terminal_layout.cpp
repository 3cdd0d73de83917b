#include "gui/terminal/terminal_layout.h"

#include <algorithm>
#include <map>

namespace tavrel::gui {
namespace {

// Lines closer than this share a row.
constexpr int kSameRowUnits = 5;
// The tallest a one-line control is drawn from (a combo's template height
// includes its drop-down list).
constexpr int kLineUnits = 14;

int columnsOf(int units) { return (units + kUnitsPerColumn - 1) / kUnitsPerColumn; }

// The line a control lies on, in dialog units.
int lineOf(const ControlView& c) {
    if (c.layout.kind == ControlKind::GroupBox || multiLine(c)) return c.layout.y;
    return c.layout.y + std::min(c.layout.height, kLineUnits) / 2;
}

int rowsOf(const ControlView& c) {
    if (!multiLine(c)) return 1;
    return std::max(1, (c.layout.height + kUnitsPerRow / 2) / kUnitsPerRow);
}

// Cells from the control's first column to the column its right edge falls in.
int reach(const ControlTemplate& t) { return columnsOf(t.x + t.width) - t.x / kUnitsPerColumn; }

int widthOf(const ControlView& c) {
    const int text = textCells(c.text);
    const int template_ = std::max(1, c.layout.width / kUnitsPerColumn);
    switch (c.layout.kind) {
        case ControlKind::PushButton:
        case ControlKind::DefaultPushButton: return std::max(text + 2 + (c.shield ? 1 : 0), reach(c.layout));
        case ControlKind::CheckBox:
        case ControlKind::RadioButton: return 4 + text;
        case ControlKind::GroupBox: return std::max(text + 4, template_);
        case ControlKind::Icon: return 1;
        case ControlKind::Tab: return text + 2;
        case ControlKind::Label: return multiLine(c) ? template_ : std::max(text, template_);
        default: return template_;
    }
}

// Texts cut at the next control's edge rather than running into it.
bool clipped(ControlKind kind) {
    return kind == ControlKind::Label || kind == ControlKind::CheckBox || kind == ControlKind::RadioButton;
}

}  // namespace

bool multiLine(const ControlView& c) {
    switch (c.layout.kind) {
        case ControlKind::SunkenStatic:
        case ControlKind::ListView:
        case ControlKind::Chart: return true;
        case ControlKind::Label: return c.layout.height > kUnitsPerRow;
        default: return false;
    }
}

int textCells(const std::string& utf8) {
    int cells = 0;
    for (char c : utf8) cells += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return cells;
}

GridLayout layOutControls(const std::vector<ControlView>& controls, int widthUnits) {
    GridLayout out;
    out.columns = columnsOf(widthUnits);
    out.cells.resize(controls.size());

    // The distinct lines, top down, each given its row.
    std::vector<int> lines;
    for (const ControlView& c : controls) {
        if (c.layout.kind != ControlKind::UpDown) lines.push_back(lineOf(c));
    }
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    std::map<int, int> rowOfLine;
    // Multi-line controls hold their rows: a line below one's bottom edge
    // goes below its last row.
    std::vector<std::pair<int, int>> held;  // bottom edge in units, first free row
    int previousLine = 0;
    int previousRow = -1;
    for (int line : lines) {
        if (previousRow >= 0 && line - previousLine < kSameRowUnits) {
            rowOfLine[line] = previousRow;
            continue;
        }
        int row = std::max(previousRow + 1, line / kUnitsPerRow);
        for (const auto& [bottom, free] : held) {
            if (line >= bottom) row = std::max(row, free);
        }
        rowOfLine[line] = row;
        previousLine = line;
        previousRow = row;
        for (const ControlView& c : controls) {
            if (multiLine(c) && lineOf(c) == line) held.emplace_back(c.layout.y + c.layout.height, row + rowsOf(c));
        }
    }

    for (size_t i = 0; i < controls.size(); ++i) {
        const ControlView& c = controls[i];
        if (c.layout.kind == ControlKind::UpDown) continue;
        GridRect& r = out.cells[i];
        r.col = c.layout.x / kUnitsPerColumn;
        r.row = rowOfLine[lineOf(c)];
        r.width = widthOf(c);
        r.height = rowsOf(c);
        out.rows = std::max(out.rows, r.row + r.height);
    }
    // Clip texts at the next control on their row and at the window's edge.
    for (size_t i = 0; i < controls.size(); ++i) {
        GridRect& r = out.cells[i];
        if (r.height == 0) continue;
        int limit = out.columns;
        if (clipped(controls[i].layout.kind)) {
            for (size_t j = 0; j < controls.size(); ++j) {
                const GridRect& other = out.cells[j];
                if (j == i || other.height == 0 || controls[j].layout.kind == ControlKind::GroupBox) continue;
                const bool sameRows = other.row < r.row + r.height && r.row < other.row + other.height;
                if (sameRows && other.col > r.col) limit = std::min(limit, other.col);
            }
        }
        r.width = std::max(1, std::min(r.width, limit - r.col));
    }
    return out;
}

}  // namespace tavrel::gui
