// The Win32 controls' own work for the backend: the window classes and
// the program's icon, control texts, the address control's numbers, a
// chart drawn, a list view and a sheet's tabs filled from the model,
// tooltips and the notification-area entry.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "gui/access_keys.h"
#include "gui/dialog_backend.h"

namespace tavrel::gui::win32 {

HICON programIcon(int size);
void registerWindowClass(const char* name);
// The window classes that the main window and the scan window are known by
// ("" for the dialog class).
const char* classFor(const std::string& templateName);
std::string windowTextOf(HWND h);
// The model keeps line breaks as "\n"; static controls want CR LF.
std::string withCrLf(const std::string& text);
// An IP address control's four fields, left to right.
std::vector<HWND> addressFieldsOf(HWND address);
// Its text as typed: "a.b.c.d" with blank fields left blank, and nothing
// when every field is blank.
std::string addressTextOf(HWND address);
// Four numbers of 0 to 255 from "a.b.c.d"; false for anything else.
bool parseAddress(const std::string& text, BYTE (&parts)[4]);
// A chart: the series as a line over a white plot, the y axis's labels at
// its left and the x axis's below.
void drawChart(HDC dc, const RECT& area, const ChartData& chart);
// A list view given the columns and rows of the model's control; `was`,
// the control as last synced (or nullptr), limits the work to what changed.
void syncListView(HWND h, const ControlView& c, const ControlView* was);

// A property sheet's tab control (kSheetTabsId in `sheet`) given the
// titles and the selection of the model's tabs.
void syncTabs(HWND sheet, const std::vector<const ControlView*>& tabs, const WindowView* before);
// The tooltip of a control of `window`; `tooltips` is the window's tooltip
// control, made on first use.
void setTooltip(HWND& tooltips, HWND window, HWND control, const std::string& text);

// The notification-area entry's callback message (WM_USER + 5).
inline constexpr UINT kTrayMessage = 1029;
// A window's notification-area entry as last shown.
struct TrayState {
    bool shown = false;
    std::string tip;
};
// Shows, updates or removes the window's entry as the model says.
void syncTray(HWND window, TrayState& tray, const WindowView& v);
void removeTray(HWND window, TrayState& tray);

}  // namespace tavrel::gui::win32
