// The main window: the program's face and its message hub. Every user
// action arrives here as a numbered command; the window owns the deferred
// initialisation (timer 5) and the AutoTimer (timer 10), and carries out
// the program's end.
#pragma once

#include <cstdint>

#include "engine/auto_timer.h"
#include "engine/supervisor.h"
#include "gui/dialog.h"
#include "timeservice/time_servers.h"
#include "ui/main_window_display.h"

namespace tavrel {

inline constexpr int kCommandCheck = 1;
inline constexpr int kCommandExit = 2;
inline constexpr int kCommandCorrect = 3;
inline constexpr int kCommandAbout = 5;
inline constexpr int kCommandHelp = 6;
inline constexpr int kCommandOptions = 101;
inline constexpr int kCommandTimeZone = 1001;
// Commands of the main window that the tray menu also sends.
inline constexpr int kCommandResetAutoTimers = 1009;
// The supervisor has ended: the window goes.
inline constexpr int kCommandSupervisorEnded = 2031;
// An operation begins: the time zone is refreshed (and a locked one restored).
inline constexpr int kCommandRefreshTimeZone = 2032;
inline constexpr int kDeferredInitTimerId = 5;
inline constexpr uint32_t kDeferredInitMs = 500;

// What the window program runs on, made before the main window and living
// as long as the program: the view the engine draws through, the engine
// and the AutoTimer.
struct WindowProgram {
    WindowProgram();
    MainWindowView view;
    Engine engine;
    AutoTimer autoTimer;
};

// The time servers' lines for the engine's status line.
ServerStatusSink serverStatusTo(Engine& engine);

// The main window's procedure.
intptr_t mainWindowProcedure(WindowProgram& program, gui::WindowHandle window,
                             const gui::WindowMessage& message);

// Builds the main window and shows it (minimised when startMinimised).
gui::WindowHandle createMainWindow(WindowProgram& program);

// The window's deferred initialisation (timer 5), in its fixed order.
void deferredInitialisation(WindowProgram& program, gui::WindowHandle window);

}  // namespace tavrel
