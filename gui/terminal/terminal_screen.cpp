#include "gui/terminal/terminal_screen.h"

#include <algorithm>

namespace tavrel::gui {
namespace {

constexpr int kUnitsPerColumn = 4;
constexpr int kUnitsPerRow = 8;
// A property page lies below its sheet's row of tabs.
constexpr int kPageOffsetUnits = 16;

struct Glyphs {
    char32_t topLeft, topRight, bottomLeft, bottomRight, horizontal, vertical, icon, tray, dropDown, upDown;
};
constexpr Glyphs kUnicodeGlyphs{U'┌', U'┐', U'└', U'┘', U'─', U'│', U'◷', U'◷', U'▾', U'↕'};
constexpr Glyphs kAsciiGlyphs{U'+', U'+', U'+', U'+', U'-', U'|', U'@', U'@', U'v', U'^'};

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

void drawFrame(Screen& screen, const Placement& p, const Glyphs& g, const Hit& hit) {
    std::u32string top(static_cast<size_t>(p.width), g.horizontal);
    top.front() = g.topLeft;
    top.back() = g.topRight;
    std::u32string bottom(static_cast<size_t>(p.width), g.horizontal);
    bottom.front() = g.bottomLeft;
    bottom.back() = g.bottomRight;
    screen.put(p.left, p.top, top, 0, hit);
    for (int y = p.top + 1; y < p.top + p.height - 1; ++y) {
        screen.put(p.left, y, std::u32string(1, g.vertical), 0, hit);
        screen.put(p.left + p.width - 1, y, std::u32string(1, g.vertical), 0, hit);
    }
    screen.put(p.left, p.top + p.height - 1, bottom, 0, hit);
}

// Cells from a control's first column to the column its right edge falls
// in, so that short labels are not cut.
int reach(const ControlTemplate& layout) {
    return (layout.x + layout.width + kUnitsPerColumn - 1) / kUnitsPerColumn - layout.x / kUnitsPerColumn;
}

void drawControl(Screen& screen, int originX, int originY, int offsetUnits, const WindowView& window,
                 const ControlView& c, const Focus& focus, const Glyphs& g) {
    const int x = originX + c.layout.x / kUnitsPerColumn;
    const int y = originY + (c.layout.y + offsetUnits) / kUnitsPerRow;
    const int width = std::max(1, c.layout.width / kUnitsPerColumn);
    const int height = std::max(1, c.layout.height / kUnitsPerRow);
    const Hit hit{Hit::Kind::Control, window.handle, c.layout.id};
    const bool focused = focus.window == window.handle && focus.controlId == c.layout.id && c.layout.id != -1;
    uint8_t attr = 0;
    if (!c.enabled) attr |= kAttrDim;
    if (focused) attr |= kAttrReverse;
    const std::u32string text = fromUtf8(c.text);
    switch (c.layout.kind) {
        case ControlKind::PushButton:
        case ControlKind::DefaultPushButton: {
            // A button reaches to the column its right edge falls in, so
            // that short labels keep their brackets.
            const int buttonWidth = reach(c.layout);
            std::u32string label = text;
            if (c.shield) label = U"!" + label;  // needs more rights
            if (c.layout.kind == ControlKind::DefaultPushButton) attr |= kAttrBold;
            screen.put(x, y, U"[" + centred(label, buttonWidth - 2) + U"]", attr, hit, buttonWidth);
            break;
        }
        case ControlKind::CheckBox:
            screen.put(x, y, std::u32string(c.checked ? U"[x] " : U"[ ] ") + text, attr, hit, reach(c.layout));
            break;
        case ControlKind::RadioButton:
            screen.put(x, y, std::u32string(c.checked ? U"(*) " : U"( ) ") + text, attr, hit, reach(c.layout));
            break;
        case ControlKind::Icon: screen.put(x, y, std::u32string(1, g.icon), attr, hit, width); break;
        case ControlKind::GroupBox: {
            const Placement box{x, y, width, height};
            drawFrame(screen, box, g, Hit{Hit::Kind::Window, window.handle, -1});
            screen.put(x + 2, y, U" " + text + U" ", attr, hit, width - 4);
            break;
        }
        case ControlKind::Edit:
        case ControlKind::IpAddress:
        case ControlKind::DatePicker: {
            std::u32string shown = text;
            shown.resize(static_cast<size_t>(std::max(0, width - 2)), U'_');
            screen.put(x, y, U"[" + shown + U"]", attr | kAttrUnderline, hit, width);
            break;
        }
        case ControlKind::ComboBox: {
            std::u32string shown = text;
            shown.resize(static_cast<size_t>(std::max(0, width - 3)), U' ');
            screen.put(x, y, U"[" + shown + g.dropDown + U"]", attr | kAttrUnderline, hit, width);
            break;
        }
        case ControlKind::UpDown: screen.put(x, y, std::u32string(1, g.upDown), attr, hit, 1); break;
        case ControlKind::Tab:
            screen.put(x, y, U" " + text + U" ", (c.checked ? kAttrReverse | kAttrBold : 0) | attr, hit, width);
            break;
        case ControlKind::ListView: {
            // Header row, then the rows from the first one shown.
            const size_t columns = std::max<size_t>(1, c.items.size());
            const int first = (width * 2) / 5;
            const int rest = columns > 1 ? (width - first) / static_cast<int>(columns - 1) : 0;
            auto drawRow = [&](int row, const std::vector<std::string>& cells, uint8_t rowAttr) {
                int cx = x;
                for (size_t col = 0; col < columns; ++col) {
                    const int w = col == 0 ? first : rest;
                    const std::string cell = col < cells.size() ? cells[col] : std::string();
                    screen.put(cx, row, fromUtf8(cell), rowAttr, hit, w - 1);
                    cx += w;
                }
            };
            screen.fill(x, y, width, height, hit);
            drawRow(y, c.items, kAttrUnderline | attr);
            const int visible = height - 1;
            const size_t start = c.selection > 0 ? static_cast<size_t>(c.selection) : 0;
            for (int r = 0; r < visible && start + static_cast<size_t>(r) < c.rows.size(); ++r) {
                drawRow(y + 1 + r, c.rows[start + static_cast<size_t>(r)], attr & ~kAttrReverse);
            }
            break;
        }
        default: {
            // Labels, sunken statics and lists: their lines, one a row.
            const std::vector<std::u32string> lines = splitLines(text);
            for (int row = 0; row < height && row < static_cast<int>(lines.size()); ++row) {
                screen.put(x, y + row, lines[static_cast<size_t>(row)], attr, hit, width);
            }
            screen.fill(x, y, width, height, hit);
            break;
        }
    }
}

}  // namespace

void Screen::put(int x, int y, const std::u32string& text, uint8_t attr, const Hit& hit, int limit) {
    if (y < 0 || y >= height_) return;
    int written = 0;
    for (char32_t c : text) {
        if (limit >= 0 && written >= limit) break;
        if (x + written >= width_) break;
        if (x + written >= 0) {
            Cell& cell = cells_[static_cast<size_t>(y * width_ + x + written)];
            cell.ch = c < 0x20 ? U' ' : c;
            cell.attr = attr;
            cell.hit = hit;
        }
        ++written;
    }
}

void Screen::fill(int x, int y, int width, int height, const Hit& hit) {
    for (int row = y; row < y + height && row < height_; ++row) {
        for (int col = x; col < x + width && col < width_; ++col) {
            if (row >= 0 && col >= 0) cells_[static_cast<size_t>(row * width_ + col)].hit = hit;
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

Placement placeWindow(const WindowView& window, int screenWidth, int screenHeight) {
    const int width = (window.width + kUnitsPerColumn - 1) / kUnitsPerColumn + 2;
    const int height = (window.height + kUnitsPerRow - 1) / kUnitsPerRow + 2;
    return Placement{std::max(0, (screenWidth - width) / 2), std::max(0, (screenHeight - 1 - height) / 2), width,
                     height};
}

Screen renderScreen(const std::vector<WindowView>& windows, int width, int height, const Focus& focus,
                    bool unicode) {
    Screen screen(width, height);
    const Glyphs& g = unicode ? kUnicodeGlyphs : kAsciiGlyphs;
    // Windows are drawn in the order they were made, so newer ones lie on
    // top; property pages are drawn inside their sheet.
    std::vector<const WindowView*> order;
    for (const WindowView& w : windows) {
        if (w.embeddedIn == kNoWindow) order.push_back(&w);
    }

    int taskbarX = 0;
    int trayX = width;
    std::string tooltip;
    for (const WindowView* w : order) {
        if (w->show == ShowCommand::Minimised) {
            const std::u32string entry = U"[" + fromUtf8(w->caption) + U"]";
            screen.put(taskbarX, height - 1, entry, kAttrReverse, Hit{Hit::Kind::TaskbarEntry, w->handle, -1});
            taskbarX += static_cast<int>(entry.size()) + 1;
        }
        if (w->trayIcon) {
            std::u32string tip = splitLines(fromUtf8(w->trayTip)).front();
            const std::u32string entry = std::u32string(1, g.tray) + U" " + tip;
            trayX -= static_cast<int>(entry.size());
            screen.put(std::max(0, trayX), height - 1, entry, kAttrReverse, Hit{Hit::Kind::TrayEntry, w->handle, -1});
            trayX -= 1;
        }
        if (w->show != ShowCommand::Normal) continue;

        const Placement p = placeWindow(*w, width, height);
        const Hit background{Hit::Kind::Window, w->handle, -1};
        screen.fill(p.left, p.top, p.width, p.height, background);
        for (int y = p.top; y < p.top + p.height; ++y) screen.put(p.left, y, std::u32string(static_cast<size_t>(p.width), U' '), 0, background);
        drawFrame(screen, p, g, background);
        screen.put(p.left + 2, p.top, U" " + fromUtf8(w->caption) + U" ", kAttrBold, background, p.width - 10);
        if (!w->modal) screen.put(p.left + p.width - 7, p.top, U"[_]", 0, Hit{Hit::Kind::MinimiseBox, w->handle, -1});
        screen.put(p.left + p.width - 4, p.top, U"[x]", 0, Hit{Hit::Kind::CloseBox, w->handle, -1});
        for (const ControlView& c : w->controls) drawControl(screen, p.left + 1, p.top + 1, 0, *w, c, focus, g);
        std::vector<const WindowView*> inside{w};
        for (const WindowView& page : windows) {
            if (page.embeddedIn != w->handle || page.show != ShowCommand::Normal) continue;
            inside.push_back(&page);
            for (const ControlView& c : page.controls) {
                drawControl(screen, p.left + 1, p.top + 1, kPageOffsetUnits, page, c, focus, g);
            }
        }
        for (const WindowView* owner : inside) {
            if (focus.window != owner->handle) continue;
            for (const ControlView& c : owner->controls) {
                if (c.layout.id == focus.controlId && c.layout.id != -1) tooltip = c.tooltip;
            }
            if (!tooltip.empty() && p.top + p.height < height - 1) {
                screen.put(p.left + 1, p.top + p.height, fromUtf8(tooltip), kAttrDim, Hit{}, p.width - 2);
            }
        }
    }
    return screen;
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
