// The terminal window's popups: menus, message boxes, the date picker's
// calendar and drop-down lists; opened over the windows, they take the keys
// until they close.
#include <algorithm>

#include "gui/terminal/calendar.h"
#include "gui/terminal/terminal_layout.h"
#include "gui/terminal/terminal_popup.h"
#include "gui/terminal/terminal_ui.h"

namespace tavrel::gui {

using namespace terminal;

namespace {

constexpr int kCalendarWidth = 22;
constexpr int kCalendarHeight = 10;

std::vector<std::u32string> paragraphs(const std::string& text, int width, int maxLines) {
    std::vector<std::u32string> lines;
    std::u32string all = fromUtf8(text);
    size_t start = 0;
    while (start <= all.size() && static_cast<int>(lines.size()) < maxLines) {
        size_t end = all.find(U'\n', start);
        if (end == std::u32string::npos) end = all.size();
        const std::u32string part = all.substr(start, end - start);
        std::vector<std::u32string> wrapped = wrapWords(part, width, maxLines - static_cast<int>(lines.size()));
        if (wrapped.empty()) wrapped.emplace_back();
        lines.insert(lines.end(), wrapped.begin(), wrapped.end());
        start = end + 1;
    }
    return lines;
}

}  // namespace

int TerminalUi::openPopup(std::unique_ptr<Popup> popup, const Focus& target) {
    popup->token = ++lastToken_;
    popup->window = target.window;
    popup->controlId = target.controlId;
    popup->anchorX = focusX_;
    popup->anchorY = focusY_;
    popup->anchorRight = focusRight_;
    const int token = popup->token;
    popups_.push_back(std::move(popup));
    return token;
}

int TerminalUi::openMenu(WindowHandle window, const std::vector<MenuItem>& items) {
    auto popup = std::make_unique<Popup>();
    popup->kind = Popup::Kind::Menu;
    for (const MenuItem& item : items) {
        popup->items.push_back(item.text);
        popup->commands.push_back(item.command);
    }
    while (popup->selected < static_cast<int>(items.size()) && items[static_cast<size_t>(popup->selected)].text.empty()) {
        ++popup->selected;
    }
    if (popup->selected >= static_cast<int>(items.size())) popup->selected = -1;
    (void)focus();  // places the menu beside the control with the focus
    return openPopup(std::move(popup), Focus{window, -1});
}

int TerminalUi::openMessage(WindowHandle owner, const std::string& text, const std::string& caption) {
    auto popup = std::make_unique<Popup>();
    popup->kind = Popup::Kind::Message;
    popup->text = text;
    popup->caption = caption;
    return openPopup(std::move(popup), Focus{owner, -1});
}

bool TerminalUi::popupOpen(int token) const {
    return std::any_of(popups_.begin(), popups_.end(), [token](const auto& p) { return p->token == token; });
}

int TerminalUi::takeMenuChoice(int token) {
    const auto it = menuChoices_.find(token);
    if (it == menuChoices_.end()) return 0;
    const int choice = it->second;
    menuChoices_.erase(it);
    return choice;
}

void TerminalUi::closePopup(int token) {
    for (size_t i = 0; i < popups_.size(); ++i) {
        if (popups_[i]->token != token) continue;
        // What was opened over it goes with it.
        while (popups_.size() > i + 1) finishPopup(false);
        finishPopup(false);
        return;
    }
}

void TerminalUi::finishPopup(bool take) {
    if (popups_.empty()) return;
    std::unique_ptr<Popup> popup = std::move(popups_.back());
    popups_.pop_back();
    switch (popup->kind) {
        case Popup::Kind::Menu:
            menuChoices_[popup->token] =
                take && popup->selected >= 0 ? popup->commands[static_cast<size_t>(popup->selected)] : 0;
            break;
        case Popup::Kind::Calendar:
            if (take) setDatePickerTime(popup->window, popup->controlId, popup->date);
            break;
        case Popup::Kind::DropList:
            if (take && popup->selected != comboSelection(popup->window, popup->controlId)) {
                comboSetSelection(popup->window, popup->controlId, popup->selected);
                postCommand(popup->window, popup->controlId);
            }
            break;
        case Popup::Kind::Message: break;
    }
}

void TerminalUi::handlePopupKey(const InputEvent& event) {
    Popup& p = *popups_.back();
    const bool space = event.key == Key::Char && event.ch == U' ';
    if (event.key == Key::Escape) {
        finishPopup(false);
        return;
    }
    if (event.key == Key::Enter || space) {
        finishPopup(true);
        return;
    }
    switch (p.kind) {
        case Popup::Kind::Menu:
        case Popup::Kind::DropList: {
            const int count = static_cast<int>(p.items.size());
            if (count == 0 || p.selected < 0) break;
            int step = 0;
            if (event.key == Key::Down) step = 1;
            if (event.key == Key::Up) step = -1;
            if (step == 0) break;
            if (p.kind == Popup::Kind::DropList) {
                p.selected = std::clamp(p.selected + step, 0, count - 1);
                break;
            }
            int next = p.selected;
            do {
                next = (next + step + count) % count;
            } while (p.items[static_cast<size_t>(next)].empty() && next != p.selected);
            p.selected = next;
            break;
        }
        case Popup::Kind::Calendar:
            if (event.key == Key::Left || event.key == Key::Right) p.date = terminal::movedByDays(p.date, event.key == Key::Right ? 1 : -1);
            if (event.key == Key::Up || event.key == Key::Down) p.date = terminal::movedByDays(p.date, event.key == Key::Down ? 7 : -7);
            if (event.key == Key::PageUp || event.key == Key::PageDown) {
                p.date = terminal::movedByMonths(p.date, event.key == Key::PageDown ? 1 : -1);
            }
            break;
        case Popup::Kind::Message: break;
    }
}

void TerminalUi::handlePopupPress(const Hit& hit) {
    Popup& p = *popups_.back();
    if (hit.kind != Hit::Kind::PopupItem) {
        finishPopup(false);  // a click beside the popup closes it
        return;
    }
    if (hit.controlId < 0) return;  // its frame
    if (p.kind == Popup::Kind::Calendar) {
        p.date.day = static_cast<uint16_t>(hit.controlId);
        p.date = terminal::movedByDays(p.date, 0);
    } else if (p.kind != Popup::Kind::Message) {
        if (p.items[static_cast<size_t>(hit.controlId)].empty()) return;  // a separator
        p.selected = hit.controlId;
    }
    finishPopup(true);
}

void TerminalUi::drawPopup(Screen& screen, const Popup& p) {
    const int width = screen.width();
    const int height = screen.height() - 1;  // above the entries line
    auto item = [](int index) { return Hit{Hit::Kind::PopupItem, kNoWindow, index}; };
    const Hit frame = item(-1);
    switch (p.kind) {
        case Popup::Kind::Menu: {
            int inner = 0;
            for (const std::string& text : p.items) inner = std::max(inner, textCells(text));
            const int w = std::min(width, inner + 4);
            const int h = std::min(height, static_cast<int>(p.items.size()) + 2);
            // Under the focused control, its right edge at the control's;
            // above it where there is room there and none below (the tray
            // entry on the last line).
            const int left = std::clamp(p.anchorRight - w, 0, std::max(0, width - w));
            const bool roomBelow = p.anchorY + 1 + h <= height;
            const int top = !roomBelow && p.anchorY >= h ? p.anchorY - h
                                                        : std::clamp(p.anchorY + 1, 0, std::max(0, height - h));
            drawBox(screen, left, top, w, h, U"", Style::Popup, frame, glyphs_);
            for (int i = 0; i + 2 < h; ++i) {
                const std::string& text = p.items[static_cast<size_t>(i)];
                if (text.empty()) {
                    std::u32string rule(static_cast<size_t>(w), glyphs_.horizontal);
                    rule.front() = glyphs_.teeLeft;
                    rule.back() = glyphs_.teeRight;
                    screen.put(left, top + 1 + i, rule, Style::Frame, frame);
                    continue;
                }
                std::u32string line = U" " + fromUtf8(text);
                line.resize(static_cast<size_t>(w - 2), U' ');
                screen.put(left + 1, top + 1 + i, line, i == p.selected ? Style::PopupSelected : Style::Popup, item(i));
            }
            break;
        }
        case Popup::Kind::Message: {
            const int w = std::min(width, std::max({textCells(p.caption) + 8, std::min(textCells(p.text), 56) + 6, 20}));
            const std::vector<std::u32string> lines = paragraphs(p.text, w - 6, std::max(1, height - 6));
            const int h = std::min(height, static_cast<int>(lines.size()) + 5);
            const int left = std::max(0, (width - w) / 2);
            const int top = std::max(0, (height - h) / 2);
            drawBox(screen, left, top, w, h, fromUtf8(p.caption), Style::Popup, frame, glyphs_);
            for (size_t i = 0; i < lines.size() && static_cast<int>(i) + 5 <= h; ++i) {
                screen.put(left + 3, top + 2 + static_cast<int>(i), lines[i], Style::Popup, frame, w - 6);
            }
            screen.put(left + (w - 6) / 2, top + h - 2, U"[ OK ]", Style::PopupSelected, item(0));
            break;
        }
        case Popup::Kind::Calendar: {
            const int left = std::clamp(p.anchorX, 0, std::max(0, width - kCalendarWidth));
            const int top = std::clamp(p.anchorY + 1, 0, std::max(0, height - kCalendarHeight));
            const std::u32string title = fromUtf8(std::string(monthName(p.date.month)) + " " +
                                                  std::to_string(p.date.year));
            drawBox(screen, left, top, kCalendarWidth, kCalendarHeight, title, Style::Popup, frame, glyphs_);
            screen.put(left + 1, top + 1, U"Su Mo Tu We Th Fr Sa", Style::Popup, frame);
            SystemTime first = p.date;
            first.day = 1;
            first = terminal::movedByDays(first, 0);
            for (int day = 1; day <= platform::daysInMonth(p.date.year, p.date.month); ++day) {
                const int cell = first.dayOfWeek + day - 1;
                std::u32string number = fromUtf8((day < 10 ? " " : "") + std::to_string(day));
                screen.put(left + 1 + (cell % 7) * 3, top + 2 + cell / 7, number,
                           day == p.date.day ? Style::PopupSelected : Style::Popup, item(day));
            }
            break;
        }
        case Popup::Kind::DropList: {
            int inner = 0;
            for (const std::string& text : p.items) inner = std::max(inner, textCells(text));
            const int w = std::min(width, inner + 4);
            const int count = static_cast<int>(p.items.size());
            const int below = height - (p.anchorY + 1);
            const int h = std::min(count + 2, std::max(3, std::max(below, p.anchorY)));
            const int top = below >= h ? p.anchorY + 1 : std::max(0, p.anchorY - h);
            const int left = std::clamp(p.anchorX, 0, std::max(0, width - w));
            const int shown = h - 2;
            const int firstShown = std::clamp(p.selected - shown / 2, 0, std::max(0, count - shown));
            drawBox(screen, left, top, w, h, U"", Style::Popup, frame, glyphs_);
            for (int i = 0; i < shown && firstShown + i < count; ++i) {
                const int index = firstShown + i;
                std::u32string line = U" " + fromUtf8(p.items[static_cast<size_t>(index)]);
                line.resize(static_cast<size_t>(w - 2), U' ');
                screen.put(left + 1, top + 1 + i, line, index == p.selected ? Style::PopupSelected : Style::Popup,
                           item(index));
            }
            break;
        }
    }
}

}  // namespace tavrel::gui
