#include "gui/win32/dialog_template.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>

namespace tavrel::gui::win32 {
namespace {

class Writer {
public:
    void word(uint16_t w) { words_.push_back(w); }
    void dword(uint32_t d) {
        word(static_cast<uint16_t>(d & 0xFFFF));
        word(static_cast<uint16_t>(d >> 16));
    }
    void alignToDword() {
        if (words_.size() % 2 != 0) word(0);
    }
    // A zero-ended UTF-16 text from the system's ANSI code page.
    void text(const std::string& s) {
        if (!s.empty()) {
            const int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
            std::wstring wide(static_cast<size_t>(n), L'\0');
            MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), wide.data(), n);
            for (wchar_t c : wide) word(static_cast<uint16_t>(c));
        }
        word(0);
    }
    std::vector<uint16_t> take() { return std::move(words_); }

private:
    std::vector<uint16_t> words_;
};

bool isSheetTab(const ControlTemplate& c) { return c.kind == ControlKind::Tab; }

}  // namespace

const char* controlClass(ControlKind kind) {
    switch (kind) {
        case ControlKind::PushButton:
        case ControlKind::DefaultPushButton:
        case ControlKind::CheckBox:
        case ControlKind::RadioButton:
        case ControlKind::GroupBox: return "BUTTON";
        case ControlKind::Label:
        case ControlKind::SunkenStatic:
        case ControlKind::Icon:
        case ControlKind::Chart: return "STATIC";
        case ControlKind::Edit: return "EDIT";
        case ControlKind::ComboBox: return "COMBOBOX";
        case ControlKind::IpAddress: return WC_IPADDRESSA;
        case ControlKind::DatePicker: return DATETIMEPICK_CLASSA;
        case ControlKind::UpDown: return UPDOWN_CLASSA;
        case ControlKind::ListView: return WC_LISTVIEWA;
        case ControlKind::Tab: return WC_TABCONTROLA;
    }
    return "STATIC";
}

uint32_t controlStyle(ControlKind kind, bool group) {
    const uint32_t base = WS_CHILD | WS_VISIBLE | (group ? WS_GROUP : 0);
    switch (kind) {
        case ControlKind::PushButton: return base | WS_TABSTOP | BS_PUSHBUTTON;
        case ControlKind::DefaultPushButton: return base | WS_TABSTOP | BS_DEFPUSHBUTTON;
        // Check boxes and radio buttons change through the window model, so
        // that every backend keeps their state the same way.
        case ControlKind::CheckBox: return base | WS_TABSTOP | BS_CHECKBOX;
        // A group of radio buttons is one tab stop: its checked button (the
        // backend moves the stop as the check moves), the first until then.
        case ControlKind::RadioButton: return base | (group ? WS_TABSTOP : 0) | BS_RADIOBUTTON;
        case ControlKind::GroupBox: return base | BS_GROUPBOX;
        case ControlKind::Label: return base | SS_LEFT | SS_NOPREFIX;
        case ControlKind::SunkenStatic: return base | SS_LEFT | SS_NOPREFIX | SS_SUNKEN;
        case ControlKind::Icon: return base | SS_ICON;
        case ControlKind::Edit: return base | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL | ES_NUMBER;
        case ControlKind::ComboBox: return base | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;
        case ControlKind::IpAddress: return base | WS_TABSTOP;
        case ControlKind::DatePicker: return base | WS_TABSTOP | DTS_SHORTDATEFORMAT;
        case ControlKind::UpDown:
            return base | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_AUTOBUDDY | UDS_ARROWKEYS | UDS_NOTHOUSANDS;
        case ControlKind::ListView:
            return base | WS_TABSTOP | WS_BORDER | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS;
        case ControlKind::Tab: return base | WS_CLIPSIBLINGS | WS_TABSTOP;
        // Drawn by the dialog on WM_DRAWITEM.
        case ControlKind::Chart: return base | SS_OWNERDRAW;
    }
    return base;
}

std::vector<uint16_t> buildDialogTemplate(const TemplateWindow& window) {
    // A property sheet's tabs become one tab control behind its page.
    std::vector<ControlTemplate> items;
    bool tabsPlaced = false;
    for (const ControlTemplate& c : window.controls) {
        if (!isSheetTab(c)) {
            items.push_back(c);
        } else if (!tabsPlaced) {
            tabsPlaced = true;
            int buttonsY = window.height;
            for (const ControlTemplate& other : window.controls) {
                if (other.kind == ControlKind::PushButton) buttonsY = std::min(buttonsY, other.y);
            }
            items.insert(items.begin(), ControlTemplate{ControlKind::Tab, kSheetTabsId, 2, 1, window.width - 4,
                                                        std::max(buttonsY - 3, 16), nullptr});
        }
    }
    // A sheet's OK and Cancel get the height of Windows' own buttons (the
    // shared layout gives them one text line), below the page with a margin.
    int height = window.height;
    if (tabsPlaced) {
        constexpr int kButtonHeight = 14, kGap = 3, kMargin = 5;
        int buttonsY = -1;
        for (ControlTemplate& c : items) {
            if (c.kind != ControlKind::PushButton || c.height >= kButtonHeight) continue;
            if (buttonsY < 0) buttonsY = c.y;
            c.y = buttonsY + kGap;
            c.height = kButtonHeight;
        }
        if (buttonsY >= 0) height = std::max(height, buttonsY + kGap + kButtonHeight + kMargin);
    }

    Writer out;
    // No WS_CLIPCHILDREN: a group box paints no inside, so the dialog must
    // paint the background under it.
    uint32_t style = DS_SETFONT | DS_3DLOOK;
    uint32_t exStyle = WS_EX_CONTROLPARENT;
    if (window.child) {
        style |= WS_CHILD | DS_CONTROL;
    } else {
        style |= WS_POPUP | WS_CAPTION | DS_CENTER;
        if (window.closeBox) style |= WS_SYSMENU;
        if (window.minimiseBox) style |= WS_MINIMIZEBOX;
        exStyle |= WS_EX_APPWINDOW;
    }
    out.dword(style);
    out.dword(exStyle);
    out.word(static_cast<uint16_t>(items.size()));
    out.word(0);  // x
    out.word(0);  // y
    out.word(static_cast<uint16_t>(window.width));
    out.word(static_cast<uint16_t>(height));
    out.word(0);  // no menu
    if (window.className.empty()) {
        out.word(0);
    } else {
        out.text(window.className);
    }
    out.text(window.child ? std::string() : window.caption);
    out.word(8);  // point size, then the face
    out.text("MS Shell Dlg");

    for (const ControlTemplate& c : items) {
        out.alignToDword();
        out.dword(controlStyle(c.kind, c.group));
        out.dword(0);
        out.word(static_cast<uint16_t>(c.x));
        out.word(static_cast<uint16_t>(c.y));
        out.word(static_cast<uint16_t>(c.width));
        out.word(static_cast<uint16_t>(c.height));
        out.word(c.id < 0 ? kStaticId : static_cast<uint16_t>(c.id));
        out.text(controlClass(c.kind));
        if (c.kind == ControlKind::Icon) {
            out.word(0xFFFF);  // the icon by resource number
            out.word(kIconResource);
        } else {
            out.text(c.text != nullptr ? c.text : "");
        }
        out.word(0);  // no creation data
    }
    return out.take();
}

}  // namespace tavrel::gui::win32
