// The window toolkit's dialog manager: windows built from templates, controls by numeric id,
// window procedures receiving numbered messages on the UI thread, timers,
// posted commands, tooltips and message boxes. Shaped after the Win32
// dialog manager so that the window procedures read the same everywhere.
//
// The UI thread is the thread that runs the message loop (or pumps
// messages). Control texts may be set from any thread: from another thread
// the change is handed to the UI thread and applied there.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/time.h"

namespace tavrel::gui {

using platform::SystemTime;

using WindowHandle = uint32_t;  // 0: no window
inline constexpr WindowHandle kNoWindow = 0;

enum class ControlKind {
    PushButton,
    DefaultPushButton,
    Label,         // plain text
    SunkenStatic,  // framed text, may hold a line break
    Icon,
    CheckBox,
    RadioButton,
    GroupBox,
    Edit,
    ComboBox,
    IpAddress,
    DatePicker,
    UpDown,
    ListView,
    Tab,  // a property sheet's page tab
    Chart,  // a line chart of one series, with labelled axes
};

// The commands of Enter (when no push button has the focus and the window
// names no default button) and of Escape, as Windows' IDOK and IDCANCEL.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
// A property sheet's tabs are controls, and choosing one is a command:
// page N (from 0) is command kSheetTabBase + N.
inline constexpr int kSheetTabBase = 9000;

// One control of a template; positions and sizes in dialog units.
struct ControlTemplate {
    ControlKind kind;
    int id;  // -1 for a control without id
    int x, y, width, height;
    const char* text;
    // The string-table slots of the control's text and tooltip (-1: none);
    // the window procedures apply them, the toolkit only carries them.
    int textSlot = -1;
    int tooltipSlot = -1;
    // Starts a group, as Windows' WS_GROUP: a group runs from such a control
    // to the next one (the window's first control starts one too). Radio
    // buttons of one group exclude each other.
    bool group = false;
};

struct DialogTemplate {
    const char* name;
    const char* caption;
    int width, height;
    std::span<const ControlTemplate> controls;
    // A close box in the caption; a modal dialog's close box sends kIdCancel.
    bool closeBox = true;
};

enum class MessageKind {
    Create,           // the window exists; before it is shown
    Command,          // id: command id; param: extra word (0 for buttons)
    Timer,            // id: timer id
    Size,             // id: kSizeRestored or kSizeMinimised
    Close,            // the close box
    RightButtonUp,    // a right click on the window
    Destroy,          // the window is being destroyed
    QueryEndSession,  // the session is ending: may it?
    EndSession,       // the session ends
    TrayCallback,     // id: the icon (0); param: the mouse event on it
    TaskbarCreated,   // the notification area was (re)created
    Notify,           // property sheet page: id kNotifySetActive, kNotifyKillActive or kNotifyReset
    Char,             // id: a character typed that no control took (the terminal's keys)
};

// A page answers kNotifyKillActive with kKeepPage when what it shows
// cannot be taken (having told the user why): the sheet stays on it.
inline constexpr intptr_t kKeepPage = -1;
inline constexpr int kNotifySetActive = 1;
inline constexpr int kNotifyKillActive = 2;
inline constexpr int kNotifyReset = 3;

inline constexpr int kSizeRestored = 0;
inline constexpr int kSizeMinimised = 1;

struct WindowMessage {
    MessageKind kind;
    int id = 0;
    int64_t param = 0;
};

using WindowProcedure = std::function<intptr_t(WindowHandle, const WindowMessage&)>;

enum class ShowCommand { Normal, Minimised, Hidden };

// Builds a window from a template; the procedure then receives Create. An
// owner (a page stands for its sheet) keeps it in front and lets it take
// input while the owner is a modal window.
WindowHandle createDialog(const DialogTemplate& dialog, WindowProcedure procedure, WindowHandle owner = kNoWindow);
// Destroys the window on the UI thread; its procedure receives Destroy.
void destroyWindow(WindowHandle window);
bool windowExists(WindowHandle window);

void showWindow(WindowHandle window, ShowCommand command);
ShowCommand windowShowState(WindowHandle window);
void setWindowText(WindowHandle window, std::string_view text);
std::string windowText(WindowHandle window);
// Keeps the window above others (or not).
void setTopmost(WindowHandle window, bool topmost);

// The templates of the window's controls, in template order.
std::vector<ControlTemplate> dialogControls(WindowHandle window);

// Controls. A call naming a missing window or control does nothing (and
// reads give an empty text, false).
bool hasDlgItem(WindowHandle window, int id);
void setDlgItemText(WindowHandle window, int id, std::string_view text);
std::string getDlgItemText(WindowHandle window, int id);
void enableDlgItem(WindowHandle window, int id, bool enabled);
bool isDlgItemEnabled(WindowHandle window, int id);
void checkDlgButton(WindowHandle window, int id, bool checked);
bool isDlgButtonChecked(WindowHandle window, int id);
// The tooltip shown for a control; a later call replaces the text.
void setControlTooltip(WindowHandle window, int id, std::string_view text);
std::string controlTooltip(WindowHandle window, int id);
// The elevation shield on a button.
void setButtonShield(WindowHandle window, int id, bool shown);
bool buttonShield(WindowHandle window, int id);

// Drop-down lists: entries at fixed positions, one selected (-1: none).
void comboReset(WindowHandle window, int id);
void comboInsert(WindowHandle window, int id, int index, std::string_view text);
void comboSetSelection(WindowHandle window, int id, int index);
int comboSelection(WindowHandle window, int id);
int comboCount(WindowHandle window, int id);
// An edit's text as a whole number; ok is false for an empty or non-numeric text.
void setDlgItemInt(WindowHandle window, int id, long value);
long getDlgItemInt(WindowHandle window, int id, bool& ok);
// The range an up-down control keeps its buddy (the edit before it) in.
void setUpDownRange(WindowHandle window, int id, int low, int high);
// Date pickers: the date shown, with the time of day given to them.
void setDatePickerTime(WindowHandle window, int id, const SystemTime& value);
SystemTime datePickerTime(WindowHandle window, int id);
// List views in report style: columns, then rows of cells.
void listViewSetColumns(WindowHandle window, int id, const std::vector<std::string>& headers);
void listViewInsertRow(WindowHandle window, int id, int row, std::string_view firstCell);
void listViewSetCell(WindowHandle window, int id, int row, int column, std::string_view text);
std::vector<std::vector<std::string>> listViewRows(WindowHandle window, int id);
// Charts: the points (x, y) of one series, drawn as a line in x order over
// the control, the lowest y at its bottom; the texts of the axes' ends.
struct ChartData {
    std::vector<std::pair<double, double>> points;
    std::string top, bottom;  // the y axis
    std::string left, right;  // the x axis
    bool operator==(const ChartData&) const = default;
};
void chartSetData(WindowHandle window, int id, const ChartData& data);
ChartData chartData(WindowHandle window, int id);
// Sets the window's area on the screen (dialog units), for windows made at run time.
void setWindowSize(WindowHandle window, int width, int height);

// A property sheet: modal, one page showing at a time behind its tab, with
// OK and Cancel. Pages are made when first shown; a page receives Notify
// kNotifySetActive when shown and kNotifyKillActive when left (by another
// tab or OK; answering kKeepPage keeps it showing); Cancel sends
// kNotifyReset. Returns 1 for OK, 0 for Cancel.
struct PropertyPage {
    const DialogTemplate* dialog;
    std::string title;
    WindowProcedure procedure;
};
int runPropertySheet(const std::string& caption, const std::vector<PropertyPage>& pages, WindowHandle owner);

// Timers, delivered as Timer messages on the UI thread until killed.
void setTimer(WindowHandle window, int id, uint32_t periodMs);
void killTimer(WindowHandle window, int id);
bool timerActive(WindowHandle window, int id);

// A modal dialog: builds the window over `owner` and runs a message loop
// of its own until endDialog; returns the value given to endDialog.
intptr_t runModalDialog(const DialogTemplate& dialog, WindowProcedure procedure, WindowHandle owner);
// Ends a modal dialog (from its procedure) and destroys its window.
void endDialog(WindowHandle window, intptr_t result);

// Queues a message for the window's procedure; any thread.
void postMessage(WindowHandle window, const WindowMessage& message);
inline void postCommand(WindowHandle window, int id, int64_t param = 0) {
    postMessage(window, WindowMessage{MessageKind::Command, id, param});
}
// Ends the message loop after the messages already queued.
void postQuitMessage(int exitCode);

// Runs the message loop on the calling thread until postQuitMessage; the
// loop sleeps until a message, a due timer or a text change. Returns the
// exit code given to postQuitMessage.
int runMessageLoop();
// Handles every message already queued and every timer already due,
// without waiting; false once the loop has been asked to quit.
bool pumpMessages();

// The notification-area entry that stands for a hidden window: its tip
// (at most 127 characters) and mouse events arriving as TrayCallback.
inline constexpr size_t kTrayTipLength = 127;
inline constexpr int kTrayLeftButtonDown = 0x201;
inline constexpr int kTrayRightButtonDown = 0x204;
inline constexpr int kTrayMouseMove = 0x200;
void trayAddIcon(WindowHandle window, std::string_view tip);
void trayUpdateTip(WindowHandle window, std::string_view tip);
void trayDeleteIcon(WindowHandle window);
bool trayIconShown(WindowHandle window);
std::string trayTip(WindowHandle window);
// Whether the desktop shows notification-area entries at all (a Linux
// desktop without a tray host does not).
bool trayAreaAvailable();

// A popup menu at the pointer; returns the chosen item's command, or 0.
struct MenuItem {
    std::string text;  // empty: a separator
    int command;
};
int trackPopupMenu(WindowHandle window, const std::vector<MenuItem>& items);

// Brings the window to the front of the others.
void setForegroundWindow(WindowHandle window);

// Session end (the terminal closed, the system shutting down): the window
// receives QueryEndSession and then EndSession. SIGUSR1 stands for the
// notification area coming back: the window receives TaskbarCreated.
void watchSessionEnd(WindowHandle window);

enum class MessageBoxKind { Ok, Error };
// A modal message with an OK button, shown over `owner` (or alone).
void messageBox(WindowHandle owner, std::string_view text, std::string_view caption, MessageBoxKind kind);

// Runs a program in the terminal the windows are shown in (an editor, a
// pager), giving it the whole terminal until it ends; its exit status, or
// -1 when the windows are not in a terminal.
int runInTerminal(const std::vector<std::string>& argv);

}  // namespace tavrel::gui
