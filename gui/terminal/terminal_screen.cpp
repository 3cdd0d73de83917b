#include "gui/terminal/terminal_screen.h"

#include <algorithm>

#include "gui/terminal/terminal_chart.h"

namespace tavrel::gui {
namespace {

constexpr Glyphs kUnicodeGlyphs{U'┌', U'┐', U'└', U'┘', U'─', U'│', U'├', U'┤', U'◷', U'▾', U'↕',
                                U'▲', U'▼', U'░', U'█'};
constexpr Glyphs kAsciiGlyphs{U'+', U'+', U'+', U'+', U'-', U'|', U'+', U'+', U'@', U'v', U'^', U'^', U'v', U'|', U'#'};

std::vector<std::u32string> splitLines(const std::u32string& text) {
    std::vector<std::u32string> lines(1);
    for (char32_t c : text) {
        if (c == U'\r') continue;
        if (c == U'\n') {
            lines.emplace_back();
        } else {
            lines.back() += c;
        }
    }
    return lines;
}

std::u32string centred(const std::u32string& text, int width) {
    if (static_cast<int>(text.size()) >= width) return text.substr(0, static_cast<size_t>(std::max(0, width)));
    const int left = (width - static_cast<int>(text.size())) / 2;
    std::u32string out(static_cast<size_t>(left), U' ');
    out += text;
    out.resize(static_cast<size_t>(width), U' ');
    return out;
}

std::u32string padded(std::u32string text, int width, char32_t fill = U' ') {
    text.resize(static_cast<size_t>(std::max(0, width)), fill);
    return text;
}

// The edit that an up-down control belongs to: the control before it.
bool hasUpDownBuddy(const std::vector<ControlView>& controls, size_t index) {
    return index + 1 < controls.size() && controls[index + 1].layout.kind == ControlKind::UpDown;
}

struct DrawContext {
    Screen& screen;
    const Glyphs& g;
    const Focus& focus;
    const ListCurrentRows& currentRows;
};

// A list's scroll bar down `height` cells from (x, y): an arrow at each end
// that has rows hidden beyond it, and between them the track with the part
// that stands for the rows shown.
void drawScrollBar(DrawContext& dc, int x, int y, int height, size_t first, size_t rows, const Hit& hit) {
    const size_t shown = static_cast<size_t>(height);
    const bool above = first > 0;
    const bool below = first + shown < rows;
    for (int i = 0; i < height; ++i) dc.screen.put(x, y + i, std::u32string(1, dc.g.scrollTrack), Style::Frame, hit);
    const int track = height > 2 ? height - 2 : 0;
    if (track > 0) {
        // The thumb's length and place in proportion to the rows, at least
        // one cell, touching the ends only when the list does.
        int length = std::max(1, static_cast<int>((static_cast<size_t>(track) * shown + rows - 1) / rows));
        length = std::min(length, track);
        const size_t hiddenRows = rows - shown;
        int start = hiddenRows == 0 ? 0
                                    : static_cast<int>((static_cast<size_t>(track - length) * first + hiddenRows / 2) /
                                                       hiddenRows);
        if (above && start == 0 && track - length > 0) start = 1;
        if (below && start == track - length && start > 0) start = track - length - 1;
        start = std::clamp(start, 0, track - length);
        for (int i = 0; i < length; ++i) {
            dc.screen.put(x, y + 1 + start + i, std::u32string(1, dc.g.scrollThumb), Style::Frame, hit);
        }
    }
    if (above) dc.screen.put(x, y, std::u32string(1, dc.g.scrollUp), Style::Frame, hit);
    if (below) dc.screen.put(x, y + height - 1, std::u32string(1, dc.g.scrollDown), Style::Frame, hit);
}

void drawControl(DrawContext& dc, int originX, int originY, const WindowView& owner, size_t index,
                 const GridRect& r) {
    const ControlView& c = owner.controls[index];
    if (r.height == 0) return;
    Screen& screen = dc.screen;
    const int x = originX + r.col;
    const int y = originY + r.row;
    const Hit hit{Hit::Kind::Control, owner.handle, c.layout.id};
    const bool focused = dc.focus.window == owner.handle && dc.focus.controlId == c.layout.id && c.layout.id != -1;
    // The control's look: greyed beats everything, focus beats its kind.
    auto styled = [&](Style normal) { return !c.enabled ? Style::Disabled : focused ? Style::Focus : normal; };
    // A bracket, or a blank in its place for a greyed control on a terminal
    // that cannot dim it.
    const bool bare = !c.enabled && !dc.g.dims;
    auto bracket = [bare](const char32_t* b) { return bare ? std::u32string(U" ") : std::u32string(b); };
    const std::u32string text = fromUtf8(c.text);
    switch (c.layout.kind) {
        case ControlKind::PushButton:
        case ControlKind::DefaultPushButton: {
            std::u32string label = c.shield ? U"!" + text : text;  // ! : needs more rights
            const Style look = styled(c.layout.kind == ControlKind::DefaultPushButton ? Style::DefaultButton
                                                                                      : Style::Button);
            screen.put(x, y, bracket(U"[") + centred(label, r.width - 2) + bracket(U"]"), look, hit, r.width);
            break;
        }
        case ControlKind::CheckBox:
        case ControlKind::RadioButton: {
            const bool box = c.layout.kind == ControlKind::CheckBox;
            const std::u32string mark = bracket(box ? U"[" : U"(") + (c.checked ? (box ? U"x" : U"*") : U" ") +
                                        bracket(box ? U"]" : U")") + U" ";
            screen.put(x, y, mark + text, styled(Style::Normal), hit, r.width);
            break;
        }
        case ControlKind::Icon: screen.put(x, y, std::u32string(1, dc.g.icon), Style::Normal, hit, 1); break;
        case ControlKind::GroupBox: {
            // A heading with a rule: "── Date Ranges ─────".
            std::u32string rule = std::u32string(2, dc.g.horizontal) + U" " + text + U" ";
            rule = padded(rule, r.width, dc.g.horizontal);
            screen.put(x, y, rule, Style::Frame, Hit{Hit::Kind::Window, owner.handle, -1}, r.width);
            screen.put(x + 3, y, text, c.enabled ? Style::Title : Style::Disabled,
                       Hit{Hit::Kind::Window, owner.handle, -1}, r.width - 3);
            break;
        }
        case ControlKind::Edit: {
            // An up-down control shows as an arrow inside its edit.
            const bool spinner = hasUpDownBuddy(owner.controls, index);
            std::u32string inside = padded(text, r.width - 2 - (spinner ? 1 : 0));
            if (spinner) inside += dc.g.upDown;
            screen.put(x, y, bracket(U"[") + inside + bracket(U"]"), styled(Style::Field), hit, r.width);
            break;
        }
        case ControlKind::IpAddress:
        case ControlKind::DatePicker:
            screen.put(x, y, bracket(U"[") + padded(text, r.width - 2) + bracket(U"]"), styled(Style::Field), hit,
                       r.width);
            break;
        case ControlKind::ComboBox:
            screen.put(x, y, bracket(U"[") + padded(text, r.width - 3) + dc.g.dropDown + bracket(U"]"),
                       styled(Style::Field), hit, r.width);
            break;
        case ControlKind::UpDown: break;
        case ControlKind::Chart: {
            screen.clear(x, y, r.width, r.height, Style::Normal, hit);
            const std::vector<std::u32string> lines = chartLines(c.chart, r.width, r.height, dc.g.horizontal == U'─');
            for (size_t row = 0; row < lines.size(); ++row) {
                screen.put(x, y + static_cast<int>(row), lines[row], Style::Normal, hit, r.width);
            }
            break;
        }
        case ControlKind::Tab: {
            const Style look = focused ? Style::Focus : c.checked ? Style::SelectedTab : Style::Tab;
            screen.put(x, y, U" " + text + U" ", look, hit, r.width);
            break;
        }
        case ControlKind::ListView: {
            // Header row, then the rows from the first one shown.
            const size_t columns = std::max<size_t>(1, c.items.size());
            const int first = (r.width * 2) / 5;
            const int rest = columns > 1 ? (r.width - first) / static_cast<int>(columns - 1) : 0;
            auto drawRow = [&](int row, const std::vector<std::string>& cells, Style look) {
                int cx = x;
                for (size_t col = 0; col < columns; ++col) {
                    const int w = col == 0 ? first : rest;
                    const std::string cell = col < cells.size() ? cells[col] : std::string();
                    screen.put(cx, row, fromUtf8(cell), look, hit, w - 1);
                    cx += w;
                }
            };
            screen.clear(x, y, r.width, r.height, Style::Normal, hit);
            // The focus shows on the current row, or on the header of a
            // list with none.
            const auto currentIt = dc.currentRows.find({owner.handle, c.layout.id});
            const int current = currentIt != dc.currentRows.end() && !c.rows.empty() ? currentIt->second : -1;
            drawRow(y, c.items, focused && current < 0 ? Style::Focus : Style::Field);
            const int shown = listRowsShown(r.height);
            const size_t start = c.selection > 0 ? static_cast<size_t>(c.selection) : 0;
            for (int row = 0; row < shown && start + static_cast<size_t>(row) < c.rows.size(); ++row) {
                const size_t index = start + static_cast<size_t>(row);
                const bool isCurrent = focused && static_cast<int>(index) == current;
                if (isCurrent) screen.clear(x, y + 1 + row, r.width - 1, 1, Style::Focus, hit);
                drawRow(y + 1 + row, c.rows[index], isCurrent ? Style::Focus : Style::Normal);
            }
            if (r.height > 1 && (start > 0 || start + static_cast<size_t>(shown) < c.rows.size())) {
                drawScrollBar(dc, x + r.width - 1, y + 1, shown, start, c.rows.size(), hit);
            }
            break;
        }
        default: {
            // Labels and framed texts: their lines, one a row.
            screen.clear(x, y, r.width, r.height, Style::Normal, hit);
            const std::vector<std::u32string> lines = splitLines(text);
            for (int row = 0; row < r.height && row < static_cast<int>(lines.size()); ++row) {
                screen.put(x, y + row, lines[static_cast<size_t>(row)], c.enabled ? Style::Normal : Style::Disabled,
                           hit, r.width);
            }
            break;
        }
    }
}

bool isSheet(const WindowView& w) {
    return std::any_of(w.controls.begin(), w.controls.end(),
                       [](const ControlView& c) { return c.layout.kind == ControlKind::Tab; });
}

// The page area of a sheet: its dialog units less the tabs above and the
// buttons below, in rows.
int sheetPageRows(const WindowView& sheet, const std::vector<WindowView>& all) {
    int rows = 0;
    for (const WindowView& page : all) {
        if (page.embeddedIn == sheet.handle) {
            rows = std::max(rows, layOutControls(page.controls, page.width).rows);
            rows = std::max(rows, (page.height + kUnitsPerRow - 1) / kUnitsPerRow);
        }
    }
    return rows;
}

}  // namespace

const Glyphs& glyphsFor(bool unicode) { return unicode ? kUnicodeGlyphs : kAsciiGlyphs; }

void Screen::put(int x, int y, const std::u32string& text, Style style, const Hit& hit, int limit) {
    if (y < 0 || y >= height_) return;
    int written = 0;
    for (char32_t c : text) {
        if (limit >= 0 && written >= limit) break;
        if (x + written >= width_) break;
        if (x + written >= 0) {
            Cell& cell = cells_[static_cast<size_t>(y * width_ + x + written)];
            // A control character (C0, DEL, C1) would act on the terminal
            // rather than show: a blank stands in for it.
            cell.ch = c < 0x20 || (c >= 0x7F && c <= 0x9F) ? U' ' : c;
            cell.style = style;
            cell.hit = hit;
        }
        ++written;
    }
}

void Screen::clear(int x, int y, int width, int height, Style style, const Hit& hit) {
    for (int row = std::max(0, y); row < y + height && row < height_; ++row) {
        for (int col = std::max(0, x); col < x + width && col < width_; ++col) {
            cells_[static_cast<size_t>(row * width_ + col)] = Cell{U' ', style, hit};
        }
    }
}

std::vector<std::string> Screen::lines() const {
    std::vector<std::string> out;
    for (int y = 0; y < height_; ++y) {
        std::u32string line;
        for (int x = 0; x < width_; ++x) line += at(x, y).ch;
        while (!line.empty() && line.back() == U' ') line.pop_back();
        out.push_back(toUtf8(line));
    }
    return out;
}

bool takesFocus(ControlKind kind) {
    switch (kind) {
        case ControlKind::PushButton:
        case ControlKind::DefaultPushButton:
        case ControlKind::CheckBox:
        case ControlKind::RadioButton:
        case ControlKind::Edit:
        case ControlKind::ComboBox:
        case ControlKind::IpAddress:
        case ControlKind::DatePicker:
        case ControlKind::ListView:
        case ControlKind::Tab: return true;
        default: return false;
    }
}

WindowGeometry measureWindow(const WindowView& window, const std::vector<WindowView>& all) {
    WindowGeometry g;
    g.layout = layOutControls(window.controls, window.width);
    int rows = g.layout.rows;
    int columns = g.layout.columns;
    if (isSheet(window)) {
        // The tabs on the first row; OK and Cancel on the row after the
        // tallest page.
        g.pageTop = kPageTopRow;
        const int buttonsRow = kPageTopRow + sheetPageRows(window, all);
        for (size_t i = 0; i < window.controls.size(); ++i) {
            if (window.controls[i].layout.kind != ControlKind::Tab) g.layout.cells[i].row = buttonsRow;
        }
        rows = buttonsRow + 1;
        for (const WindowView& page : all) {
            if (page.embeddedIn == window.handle) columns = std::max(columns, layOutControls(page.controls, page.width).columns);
        }
    }
    g.width = columns + 2;
    g.height = rows + 2;
    return g;
}

void drawBox(Screen& screen, int left, int top, int width, int height, const std::u32string& caption, Style style,
             const Hit& hit, const Glyphs& g) {
    screen.clear(left, top, width, height, style, hit);
    std::u32string edge(static_cast<size_t>(std::max(2, width)), g.horizontal);
    edge.front() = g.topLeft;
    edge.back() = g.topRight;
    screen.put(left, top, edge, Style::Frame, hit);
    edge.front() = g.bottomLeft;
    edge.back() = g.bottomRight;
    screen.put(left, top + height - 1, edge, Style::Frame, hit);
    for (int y = top + 1; y < top + height - 1; ++y) {
        screen.put(left, y, std::u32string(1, g.vertical), Style::Frame, hit);
        screen.put(left + width - 1, y, std::u32string(1, g.vertical), Style::Frame, hit);
    }
    if (!caption.empty()) screen.put(left + 2, top, U" " + caption + U" ", Style::Title, hit, width - 4);
}

void drawWindow(Screen& screen, const WindowView& w, const std::vector<WindowView>& all, const WindowGeometry& geo,
                const Focus& focus, bool active, const Glyphs& g, const ListCurrentRows& currentRows) {
    const Hit background{Hit::Kind::Window, w.handle, -1};
    drawBox(screen, geo.left, geo.top, geo.width, geo.height, U"", Style::Normal, background, g);
    // The caption, then the title bar's boxes at its right end.
    const int boxes = (w.closeBox ? 3 : 0) + (w.modal ? 0 : 3);
    screen.put(geo.left + 2, geo.top, U" " + fromUtf8(w.caption) + U" ", active ? Style::Title : Style::Inactive,
               background, geo.width - 4 - boxes);
    int boxX = geo.left + geo.width - 1 - boxes;
    if (!w.modal) {
        screen.put(boxX, geo.top, U"[_]", Style::Frame, Hit{Hit::Kind::MinimiseBox, w.handle, -1});
        boxX += 3;
    }
    if (w.closeBox) screen.put(boxX, geo.top, U"[x]", Style::Frame, Hit{Hit::Kind::CloseBox, w.handle, -1});

    DrawContext dc{screen, g, focus, currentRows};
    const int insideX = geo.left + 1;
    const int insideY = geo.top + 1;
    for (size_t i = 0; i < w.controls.size(); ++i) drawControl(dc, insideX, insideY, w, i, geo.layout.cells[i]);
    if (geo.pageTop > 0) {
        std::u32string rule(static_cast<size_t>(geo.width - 2), g.horizontal);
        screen.put(insideX, insideY + geo.pageTop - 1, rule, Style::Frame, background);
        for (const WindowView& page : all) {
            if (page.embeddedIn != w.handle || page.show != ShowCommand::Normal) continue;
            const GridLayout layout = layOutControls(page.controls, page.width);
            for (size_t i = 0; i < page.controls.size(); ++i) {
                drawControl(dc, insideX, insideY + geo.pageTop, page, i, layout.cells[i]);
            }
        }
    }
    if (!active) {
        for (int y = geo.top; y < geo.top + geo.height && y < screen.height(); ++y) {
            for (int x = geo.left; x < geo.left + geo.width && x < screen.width(); ++x) {
                if (x >= 0 && y >= 0) screen.at(x, y).style = Style::Inactive;
            }
        }
    }
}

std::vector<std::u32string> wrapWords(const std::u32string& text, int width, int maxLines) {
    std::vector<std::u32string> lines;
    if (width <= 0 || maxLines <= 0) return lines;
    std::vector<std::u32string> words;
    std::u32string word;
    for (char32_t c : text) {
        if (c == U' ' || c == U'\r' || c == U'\n') {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(std::move(word));
    std::u32string line;
    for (size_t i = 0; i < words.size(); ++i) {
        std::u32string w = words[i];
        if (static_cast<int>(w.size()) > width) w = w.substr(0, static_cast<size_t>(width));
        const int needed = static_cast<int>(line.size() + (line.empty() ? 0 : 1) + w.size());
        if (needed <= width) {
            if (!line.empty()) line += U' ';
            line += w;
            continue;
        }
        if (static_cast<int>(lines.size()) + 1 == maxLines) {
            // The last line there is room for: end it with "..." when the text goes on.
            while (!line.empty() && static_cast<int>(line.size()) + 3 > width) {
                const size_t cut = line.rfind(U' ');
                line.resize(cut == std::u32string::npos ? 0 : cut);
            }
            lines.push_back(line + U"...");
            return lines;
        }
        lines.push_back(line);
        line = w;
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

std::u32string fromUtf8(const std::string& text) {
    std::u32string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + static_cast<size_t>(extra) >= text.size()) {
            // Not UTF-8: the program's 8-bit texts show byte for byte.
            out += static_cast<char32_t>(c);
            ++i;
            continue;
        }
        char32_t value = extra == 0 ? c : c & (0x3F >> extra);
        bool valid = true;
        for (int k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            if ((next & 0xC0) != 0x80) valid = false;
            value = (value << 6) | (next & 0x3F);
        }
        if (!valid) {
            out += static_cast<char32_t>(c);
            ++i;
            continue;
        }
        out += value;
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

std::string toUtf8(const std::u32string& text) {
    std::string out;
    for (char32_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace tavrel::gui
