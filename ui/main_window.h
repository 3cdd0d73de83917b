// The main window: the program's face and its message hub. Every user
// action arrives here as a numbered command; the window owns the deferred
// initialisation (timer 5) and the AutoTimer (timer 10), and carries out
// the program's end.
#pragma once

#include <cstdint>

#include "engine/auto_timer.h"
#include "engine/supervisor.h"
#include "gui/dialog.h"
#include "resources/dialogs.h"
#include "timeservice/time_servers.h"
#include "ui/main_window_display.h"
#include "ui/options.h"
#include "ui/service_controls.h"

namespace tavrel {

// The buttons' commands are their ids.
inline constexpr int kCommandCheck = kIdCheckButton;
inline constexpr int kCommandCorrect = kIdCorrectButton;
inline constexpr int kCommandAbout = kIdAboutButton;
inline constexpr int kCommandOptions = kIdOptionsButton;
inline constexpr int kCommandTimeZone = kIdTimeZoneButton;
// Escape and the menu's Exit, and the menu's Help.
inline constexpr int kCommandExit = gui::kIdCancel;
inline constexpr int kCommandHelp = 6;
// The menu's History, and H in the terminal's main window.
inline constexpr int kCommandHistory = 7;
// Commands of the main window that the tray menu also sends.
inline constexpr int kCommandResetAutoTimers = 1009;
// The tray menu's Restore: the window back from the notification area.
inline constexpr int kCommandRestore = 1010;
// The supervisor has ended: the window goes.
inline constexpr int kCommandSupervisorEnded = 2031;
// An operation begins: the time zone is refreshed (and a locked one restored).
inline constexpr int kCommandRefreshTimeZone = 2032;
// The machine woke; another program set the clock: the AutoTimer acts.
inline constexpr int kCommandMachineResumed = 2033;
inline constexpr int kCommandClockSetElsewhere = 2034;
inline constexpr int kDeferredInitTimerId = 5;
// Keeps the notification-area tip current while the window is in the tray.
inline constexpr int kTrayTipTimerId = 6;
inline constexpr uint32_t kTrayTipMs = 1000;
inline constexpr uint32_t kDeferredInitMs = 500;

// What the window program runs on, made before the main window and living
// as long as the program: the view the engine draws through, the engine,
// the AutoTimer and the Options sheet, whose service buttons act through
// `services` (none in tests); and the window thread's flags.
struct WindowProgram {
    explicit WindowProgram(ServiceControls* services = nullptr);
    ServiceControls* const services;
    // Before the engine: its supervisor asks them for their state to its end.
    TimeServers servers;
    MainWindowView view{servers};
    Engine engine;
    AutoTimer autoTimer;
    OptionsSheet options;
    // Set by "/s" before the window exists: hiding into the tray then adds
    // no tray icon (until the notification area comes back).
    bool trayIconSuppressed = false;
    // The status line has said that the desktop shows no notification area.
    bool trayAreaMissingSaid = false;
    // The About page is open; the About command is ignored meanwhile.
    bool aboutOpen = false;
};

// How the window's time servers run: their lines to the engine's status
// line, the engine's record of the clock, the limits as the environment says.
TimeServerOptions serverOptionsFor(Engine& engine);

// The main window's procedure.
intptr_t mainWindowProcedure(WindowProgram& program, gui::WindowHandle window,
                             const gui::WindowMessage& message);

// Builds the main window and shows it (minimised when startMinimised).
gui::WindowHandle createMainWindow(WindowProgram& program);

// The window's deferred initialisation (timer 5), in its fixed order.
void deferredInitialisation(WindowProgram& program, gui::WindowHandle window);

}  // namespace tavrel
