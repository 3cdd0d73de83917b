// The window model's own state, shared by the files of the toolkit that
// keep it: the windows and their controls, the message queue and the
// timers, behind one mutex. Not for use outside gui/.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "gui/dialog.h"
#include "gui/dialog_backend.h"

namespace tavrel::gui::model {

using Clock = std::chrono::steady_clock;

struct Control {
    ControlTemplate layout{};
    std::string text;
    bool enabled = true;
    bool checked = false;
    bool shield = false;
    std::string tooltip;
    std::vector<std::string> items;
    int selection = -1;
    SystemTime date{};
    int rangeLow = 0;
    int rangeHigh = 99;
    std::vector<std::vector<std::string>> rows;
    ChartData chart;
};

struct Window {
    WindowProcedure procedure;
    int width = 0;
    int height = 0;
    bool modal = false;
    WindowHandle embeddedIn = kNoWindow;
    // The window it was opened from (a property page's sheet stands for the
    // page): it stays in front of it and takes input while that is modal.
    WindowHandle owner = kNoWindow;
    bool modalEnded = false;
    intptr_t modalResult = 0;
    std::string caption;
    bool trayIcon = false;
    std::string trayTip;
    ShowCommand show = ShowCommand::Hidden;
    bool topmost = false;
    bool foreground = false;  // asked to come to the front; the backend takes it
    bool closeBox = true;
    std::string name;         // the template's name
    std::vector<Control> controls;

    Control* control(int id) {
        for (Control& c : controls) {
            if (c.layout.id == id && id != -1) return &c;
        }
        return nullptr;
    }
};

struct Timer {
    WindowHandle window;
    int id;
    uint32_t periodMs;
    Clock::time_point due;
};

struct Queued {
    enum class Kind { Message, Text, Destroy, Show } kind;
    WindowHandle window;
    WindowMessage message{MessageKind::Command};
    int controlId = 0;
    std::string text{};
    ShowCommand show = ShowCommand::Normal;
};

struct Manager {
    std::mutex mutex;
    std::map<WindowHandle, std::shared_ptr<Window>> windows;
    std::deque<Queued> queue;
    std::vector<Timer> timers;
    WindowHandle nextHandle = 1;
    bool quitRequested = false;
    int exitCode = 0;
    bool manualTimers = false;
    std::thread::id uiThread;
    bool uiThreadKnown = false;
    DialogBackend* backend = nullptr;
    WindowHandle sessionWindow = kNoWindow;
};

// The window model: one per process, as Windows' window manager is, with
// one UI thread; every gui:: call and the backend reach it.
Manager& manager();

// Wakes the message loop (any thread).
void wakeLoop(Manager& m);
// True when the caller runs on the UI thread (the first thread to use the
// manager claims it). Under the mutex.
bool onUiThread(Manager& m);
// Tells the backend the window changed. Under the mutex.
void notifyChanged(Manager& m, WindowHandle window);
// Hands a message to the window's procedure; UI thread, not under the mutex.
intptr_t dispatch(WindowHandle window, const WindowMessage& message);
// A control's text set on the UI thread. Under the mutex.
void applyText(Manager& m, WindowHandle window, int id, std::string_view text);
// Destroying and showing, done on the UI thread.
void destroyNow(WindowHandle window);
void showNow(WindowHandle window, ShowCommand command);
// Runs the loop until `done` holds or the program is asked to quit; false
// on the quit request.
bool runLoopUntil(Manager& m, const std::function<bool()>& done);

}  // namespace tavrel::gui::model
