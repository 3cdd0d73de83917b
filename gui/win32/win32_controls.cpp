#include "gui/win32/win32_controls.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdio>
#include <utility>
#include <vector>

#include "gui/win32/dialog_template.h"

namespace tavrel::gui::win32 {

HICON programIcon(int size) {
    return static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kIconResource), IMAGE_ICON,
                                         size, size, LR_DEFAULTCOLOR | LR_SHARED));
}

void registerWindowClass(const char* name) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefDlgProcA;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hIcon = programIcon(GetSystemMetrics(SM_CXICON));
    wc.hIconSm = programIcon(GetSystemMetrics(SM_CXSMICON));
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = name;
    RegisterClassExA(&wc);
}

const char* classFor(const std::string& templateName) {
    if (templateName == "MAINDIALOG") return "TAVREL";
    if (templateName == "SyncScan") return "SyncScan";
    return "";
}

std::string windowTextOf(HWND h) {
    const int n = GetWindowTextLengthA(h);
    std::string text(static_cast<size_t>(std::max(n, 0)) + 1, '\0');
    const int got = GetWindowTextA(h, text.data(), n + 1);
    text.resize(static_cast<size_t>(std::max(got, 0)));
    return text;
}

std::string withCrLf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

namespace {

BOOL CALLBACK collectField(HWND h, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(h);
    return TRUE;
}

}  // namespace

std::vector<HWND> addressFieldsOf(HWND address) {
    std::vector<HWND> fields;
    if (address != nullptr) EnumChildWindows(address, collectField, reinterpret_cast<LPARAM>(&fields));
    std::sort(fields.begin(), fields.end(), [](HWND a, HWND b) {
        RECT ra{}, rb{};
        GetWindowRect(a, &ra);
        GetWindowRect(b, &rb);
        return ra.left < rb.left;
    });
    return fields;
}

std::string addressTextOf(HWND address) {
    std::string text;
    bool any = false;
    const std::vector<HWND> fields = addressFieldsOf(address);
    for (size_t i = 0; i < fields.size(); ++i) {
        const std::string part = windowTextOf(fields[i]);
        any = any || !part.empty();
        text += (i == 0 ? "" : ".") + part;
    }
    return any ? text : std::string();
}

bool parseAddress(const std::string& text, BYTE (&parts)[4]) {
    unsigned a, b, c, d;
    char extra;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4) return false;
    if (a > 255 || b > 255 || c > 255 || d > 255) return false;
    parts[0] = static_cast<BYTE>(a);
    parts[1] = static_cast<BYTE>(b);
    parts[2] = static_cast<BYTE>(c);
    parts[3] = static_cast<BYTE>(d);
    return true;
}

void drawChart(HDC dc, const RECT& area, const ChartData& chart) {
    FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
    SetBkMode(dc, TRANSPARENT);
    HGDIOBJ oldFont = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc, &metrics);
    const int line = metrics.tmHeight;
    SIZE topSize{}, bottomSize{};
    GetTextExtentPoint32A(dc, chart.top.c_str(), static_cast<int>(chart.top.size()), &topSize);
    GetTextExtentPoint32A(dc, chart.bottom.c_str(), static_cast<int>(chart.bottom.size()), &bottomSize);
    RECT plot{area.left + std::max(topSize.cx, bottomSize.cx) + 6, area.top + line / 2, area.right - 4,
              area.bottom - line - 4};
    if (plot.right <= plot.left + 4 || plot.bottom <= plot.top + 4) {
        SelectObject(dc, oldFont);
        return;
    }
    FillRect(dc, &plot, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    FrameRect(dc, &plot, GetSysColorBrush(COLOR_BTNSHADOW));
    TextOutA(dc, area.left + 2, plot.top - line / 2, chart.top.c_str(), static_cast<int>(chart.top.size()));
    TextOutA(dc, area.left + 2, plot.bottom - line / 2, chart.bottom.c_str(), static_cast<int>(chart.bottom.size()));
    TextOutA(dc, plot.left, plot.bottom + 2, chart.left.c_str(), static_cast<int>(chart.left.size()));
    SIZE rightSize{};
    GetTextExtentPoint32A(dc, chart.right.c_str(), static_cast<int>(chart.right.size()), &rightSize);
    TextOutA(dc, plot.right - rightSize.cx, plot.bottom + 2, chart.right.c_str(), static_cast<int>(chart.right.size()));
    if (!chart.points.empty()) {
        std::vector<std::pair<double, double>> points = chart.points;
        std::stable_sort(points.begin(), points.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        double minX = points.front().first, maxX = points.back().first;
        double minY = points.front().second, maxY = minY;
        for (const auto& p : points) {
            minY = std::min(minY, p.second);
            maxY = std::max(maxY, p.second);
        }
        std::vector<POINT> line2;
        const double w = plot.right - plot.left - 4, h = plot.bottom - plot.top - 4;
        for (const auto& [x, y] : points) {
            const double fx = maxX > minX ? (x - minX) / (maxX - minX) : 0.5;
            const double fy = maxY > minY ? (y - minY) / (maxY - minY) : 0.5;
            line2.push_back(POINT{plot.left + 2 + static_cast<LONG>(fx * w), plot.bottom - 2 - static_cast<LONG>(fy * h)});
        }
        HPEN pen = CreatePen(PS_SOLID, 2, RGB(0, 90, 180));
        HGDIOBJ oldPen = SelectObject(dc, pen);
        if (line2.size() == 1) {
            Ellipse(dc, line2[0].x - 2, line2[0].y - 2, line2[0].x + 3, line2[0].y + 3);
        } else {
            Polyline(dc, line2.data(), static_cast<int>(line2.size()));
        }
        SelectObject(dc, oldPen);
        DeleteObject(pen);
    }
    SelectObject(dc, oldFont);
}

void syncListView(HWND h, const ControlView& c, const ControlView* was) {
    if (was == nullptr || was->items != c.items) {
        while (SendMessageA(h, LVM_DELETECOLUMN, 0, 0) != 0) {
        }
        RECT area{};
        GetClientRect(h, &area);
        const int columns = std::max<int>(1, static_cast<int>(c.items.size()));
        for (size_t i = 0; i < c.items.size(); ++i) {
            LVCOLUMNA column{};
            column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
            column.cx = (area.right - area.left) / columns;
            column.pszText = const_cast<char*>(c.items[i].c_str());
            column.iSubItem = static_cast<int>(i);
            SendMessageA(h, LVM_INSERTCOLUMNA, i, reinterpret_cast<LPARAM>(&column));
        }
    }
    const size_t oldRows = was != nullptr ? was->rows.size() : 0;
    if (was == nullptr || c.rows.size() < oldRows) {
        SendMessageA(h, LVM_DELETEALLITEMS, 0, 0);
        was = nullptr;
    }
    for (size_t r = 0; r < c.rows.size(); ++r) {
        const bool added = was == nullptr || r >= oldRows;
        const std::vector<std::string>& row = c.rows[r];
        for (size_t col = 0; col < row.size(); ++col) {
            if (!added && col < was->rows[r].size() && was->rows[r][col] == row[col]) continue;
            LVITEMA item{};
            item.mask = LVIF_TEXT;
            item.iItem = static_cast<int>(r);
            item.iSubItem = static_cast<int>(col);
            item.pszText = const_cast<char*>(row[col].c_str());
            if (added && col == 0) {
                SendMessageA(h, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
            } else {
                SendMessageA(h, LVM_SETITEMTEXTA, r, reinterpret_cast<LPARAM>(&item));
            }
        }
    }
}

void syncTabs(HWND sheet, const std::vector<const ControlView*>& tabs, const WindowView* before) {
    HWND h = GetDlgItem(sheet, kSheetTabsId);
    if (h == nullptr) return;
    bool titlesChanged = before == nullptr;
    int selected = -1;
    for (size_t i = 0; i < tabs.size(); ++i) {
        if (tabs[i]->checked) selected = static_cast<int>(i);
        if (before != nullptr) {
            for (const ControlView& old : before->controls) {
                if (old.layout.id == tabs[i]->layout.id && old.text != tabs[i]->text) titlesChanged = true;
            }
        }
    }
    if (titlesChanged) {
        SendMessageA(h, TCM_DELETEALLITEMS, 0, 0);
        for (size_t i = 0; i < tabs.size(); ++i) {
            TCITEMA item{};
            item.mask = TCIF_TEXT;
            item.pszText = const_cast<char*>(tabs[i]->text.c_str());
            SendMessageA(h, TCM_INSERTITEMA, i, reinterpret_cast<LPARAM>(&item));
        }
    }
    if (selected >= 0 && SendMessageA(h, TCM_GETCURSEL, 0, 0) != selected) {
        SendMessageA(h, TCM_SETCURSEL, static_cast<WPARAM>(selected), 0);
    }
}

void setTooltip(HWND& tooltips, HWND window, HWND control, const std::string& text) {
    if (tooltips == nullptr) {
        tooltips = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window,
                                          nullptr, GetModuleHandleA(nullptr), nullptr);
        if (tooltips == nullptr) return;
        SendMessageA(tooltips, TTM_SETMAXTIPWIDTH, 0, 400);
    }
    TOOLINFOA tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window;
    tool.uId = reinterpret_cast<UINT_PTR>(control);
    tool.lpszText = const_cast<char*>(text.c_str());
    if (SendMessageA(tooltips, TTM_GETTOOLINFOA, 0, reinterpret_cast<LPARAM>(&tool)) == 0) {
        tool.lpszText = const_cast<char*>(text.c_str());
        SendMessageA(tooltips, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
    } else {
        tool.lpszText = const_cast<char*>(text.c_str());
        SendMessageA(tooltips, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&tool));
    }
}

namespace {

constexpr UINT kTrayIconId = 0;

NOTIFYICONDATAA trayRecord(HWND window) {
    NOTIFYICONDATAA data{};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = kTrayIconId;
    return data;
}

}  // namespace

void syncTray(HWND window, TrayState& tray, const WindowView& v) {
    if (!v.trayIcon) {
        if (tray.shown) removeTray(window, tray);
        return;
    }
    if (tray.shown && tray.tip == v.trayTip) return;
    NOTIFYICONDATAA data = trayRecord(window);
    data.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
    data.uCallbackMessage = kTrayMessage;
    data.hIcon = programIcon(GetSystemMetrics(SM_CXSMICON));
    std::strncpy(data.szTip, v.trayTip.c_str(), sizeof data.szTip - 1);
    if (Shell_NotifyIconA(tray.shown ? NIM_MODIFY : NIM_ADD, &data)) {
        tray.shown = true;
        tray.tip = v.trayTip;
    }
}

void removeTray(HWND window, TrayState& tray) {
    NOTIFYICONDATAA data = trayRecord(window);
    Shell_NotifyIconA(NIM_DELETE, &data);
    tray.shown = false;
}


}  // namespace tavrel::gui::win32
