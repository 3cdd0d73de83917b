// What a dialog-manager backend (the terminal, or none for tests) adds to
// the shared window model: drawing and user input.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gui/dialog.h"
#include "platform/loop_wait.h"

namespace tavrel::gui {

// What a backend draws: each window with its controls, oldest first (the
// last is on top).
struct ControlView {
    ControlTemplate layout;
    std::string text;
    bool enabled;
    bool checked;
    bool shield;
    std::string tooltip;
    std::vector<std::string> items;  // combo entries, list-view headers
    int selection;                   // combo selection, list-view first row shown
    SystemTime date;
    std::vector<std::vector<std::string>> rows;
    int low, high;  // an up-down control's range
    ChartData chart;
};

struct WindowView {
    WindowHandle handle;
    int width, height;  // dialog units
    std::string caption;
    ShowCommand show;
    bool trayIcon;
    std::string trayTip;
    bool modal;
    WindowHandle embeddedIn;  // a property page: the sheet it shows in
    std::vector<ControlView> controls;
    std::string name;  // the template's name ("MAINDIALOG")
    bool topmost;
    bool foreground;  // asked to come to the front since the last snapshot
    bool closeBox;
    WindowHandle owner;  // the window it was opened from, or none
};

// Whether two controls of a window (by their index in it) belong to one
// group: a group runs from a control with the group style to the next one,
// and the window's first control starts the first.
inline bool sameGroup(const std::vector<ControlView>& controls, size_t a, size_t b) {
    if (a > b) std::swap(a, b);
    for (size_t i = a + 1; i <= b && i < controls.size(); ++i) {
        if (controls[i].layout.group) return false;
    }
    return true;
}

// Takes the windows' state; clears the requests it reports (foreground).
std::vector<WindowView> snapshotWindows();

// Hands a message straight to the window's procedure and returns its
// answer; UI thread only. For input that needs an answer at once, such as
// the session's end.
intptr_t deliverMessage(WindowHandle window, const WindowMessage& message);

// Runs the message loop (messages, timers, input) until `done` holds, for
// a backend's own modal state (a menu, a message box); false when the
// program was asked to quit meanwhile.
bool runNestedLoop(const std::function<bool()>& done);
// The user's session has ended (the terminal went away): the window that
// watches the session receives QueryEndSession and EndSession.
void endSession();

class DialogBackend {
public:
    virtual ~DialogBackend() = default;
    // A window or one of its controls changed; redraw when convenient.
    virtual void windowChanged(WindowHandle window) = 0;
    // A descriptor to watch for input beside the loop's own wake-up, or -1.
    virtual int inputDescriptor() = 0;
    // Input is ready on inputDescriptor(); read it and post what it means.
    virtual void handleInput() = 0;
    // The loop's sleep: until woken, input or timeoutMs (-1: no limit);
    // true when handleInput should run. A backend with a main loop of its
    // own (GTK's) sleeps in that instead and handles its input there.
    virtual bool waitForWork(int timeoutMs) { return platform::loop::waitForWork(inputDescriptor(), timeoutMs); }
    // Draws what changed; called by the loop before it sleeps.
    virtual void flush() = 0;
    // Shows a popup menu; the chosen item's command, or 0.
    virtual int trackPopupMenu(WindowHandle window, const std::vector<MenuItem>& items) = 0;
    // A modal message; returns when dismissed.
    virtual void messageBox(WindowHandle owner, std::string_view text, std::string_view caption,
                            MessageBoxKind kind) = 0;
    // A control's text changed (after windowChanged); for backends that
    // follow texts one by one.
    virtual void controlTextChanged(WindowHandle, int /*id*/, std::string_view /*text*/) {}
    // Runs a program in the backend's terminal; -1 when it has none.
    virtual int runInTerminal(const std::vector<std::string>& /*argv*/) { return -1; }
    // Whether the desktop shows notification-area entries (a desktop
    // without a tray host shows none: the window then stays reachable).
    virtual bool trayAreaAvailable() { return true; }
};

// Installs the backend (nullptr: headless). Call before any window exists.
void setDialogBackend(DialogBackend* backend);

// The backend that shows the windows to the user: on Linux GTK windows
// where a display can be opened and character cells in a terminal
// otherwise, real dialogs on Windows. Available tells whether the chosen
// kind can run here.
enum class WindowKind { Automatic, Terminal, Desktop };
// Chooses the kind before the backend is made (Windows has one kind).
void chooseWindowKind(WindowKind kind);
// The kind the backend made by makeInteractiveBackend is of.
WindowKind interactiveWindowKind();
bool interactiveBackendAvailable();
std::unique_ptr<DialogBackend> makeInteractiveBackend();

}  // namespace tavrel::gui
