#include "app/window_program.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/service.h"
#include "app/startup.h"
#include "engine/clock_correction.h"
#include "gui/dialog.h"
#include "gui/dialog_backend.h"
#include "platform/process.h"
#include "gui/scripted/scripted_backend.h"
#include "platform/thread.h"
#include "storage/settings.h"
#include "ui/main_window.h"

namespace tavrel {
namespace {

constexpr const char* kInstanceName = platform::kProgramCaption;
constexpr uint32_t kSecondInstanceWaitMs = 5000;
constexpr uint32_t kSecondInstancePollMs = 100;
// The exit status of a second copy that gives up: it did not start, which
// a script or a desktop launcher must be able to tell from a start.
constexpr int kAlreadyRunning = 1;
// Nowhere to show the window: it did not start either.
constexpr int kNoWindow = 1;

}  // namespace

void runWindowProgram(const std::string& startSwitch) {
    const char* headless = std::getenv("TAVREL_HEADLESS");
    const bool scripted = headless != nullptr && *headless != '\0';
    const gui::WindowKind asked = windowKindAsked(platform::commandLine());
    gui::chooseWindowKind(asked);
    if (!scripted && !gui::interactiveBackendAvailable()) {
        std::fprintf(stderr, "%s",
                     asked == gui::WindowKind::Desktop
                         ? "tavrel: no display could be opened for the desktop window (WAYLAND_DISPLAY, DISPLAY); "
                           "start it on the desktop, or without --desktop in a terminal\n"
                         : "tavrel: the window program needs a display or a terminal; start it in one "
                           "(or use /q to sync once, or TAVREL_HEADLESS=1 to drive it from a script)\n");
        platform::exitProcess(kNoWindow);
    }
    if (startSwitch == "/s") settings.startMinimised.store(true);
    // The desktop window asks for the right to set the clock for each change
    // alone, through the clock helper, and never runs as root itself; the
    // terminal window restarts the program with it. Tests of the headless
    // window turn the helper on by TAVREL_NARROW_CLOCK_HELPER.
    const char* narrow = std::getenv("TAVREL_NARROW_CLOCK_HELPER");
    if ((narrow != nullptr && std::string(narrow) == "1") ||
        (!scripted && gui::interactiveWindowKind() == gui::WindowKind::Desktop)) {
        platform::setNarrowClockHelper(true);
    }
    if (!platform::acquireSingleInstance(kInstanceName)) {
        // Said at once: from a terminal the user would otherwise see nothing
        // happen. The first instance may just be ending (a restart with more
        // rights), so this one waits a little for it before it gives up.
        std::fputs("Tavrel is already running\n", stderr);
        bool acquired = false;
        for (uint32_t waited = 0; !acquired && waited < kSecondInstanceWaitMs; waited += kSecondInstancePollMs) {
            platform::sleepMs(kSecondInstancePollMs);
            acquired = platform::acquireSingleInstance(kInstanceName);
        }
        if (!acquired) platform::exitProcess(kAlreadyRunning);
    }

    gui::WindowHandle mainWindow = gui::kNoWindow;
    std::unique_ptr<gui::DialogBackend> backend =
        scripted ? gui::makeScriptedBackend(mainWindow) : gui::makeInteractiveBackend();
    gui::setDialogBackend(backend.get());
    ProgramServiceControls services;
    WindowProgram program(&services);
    program.trayIconSuppressed = startSwitch == "/s";
    mainWindow = createMainWindow(program);
    gui::runMessageLoop();
    // A slew the system would drop with the process is finished first.
    finishSlewAtExit();
    gui::setDialogBackend(nullptr);
    backend.reset();  // gives the terminal back before anything else runs in it
    platform::performElevatedRestart();
    // Exit quits at once: the engine's threads end with the process.
    platform::exitProcess();
}

}  // namespace tavrel
