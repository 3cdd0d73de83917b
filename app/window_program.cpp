#include "app/window_program.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/startup.h"
#include "platform/dialog.h"
#include "platform/dialog_backend.h"
#include "platform/process.h"
#include "platform/scripted_backend.h"
#include "platform/thread.h"
#include "storage/settings.h"
#include "ui/main_window.h"

namespace tavrel {
namespace {

constexpr char kInstanceName[] = "Tavrel.exe";
constexpr uint32_t kSecondInstanceWaitMs = 5000;

}  // namespace

void runWindowProgram(const std::string& startSwitch) {
    if (startSwitch == "/s") {
        settings.startMinimised.store(1);
        trayIconSuppressed.store(1);
    }
    if (!platform::acquireSingleInstance(kInstanceName)) {
        // Perhaps the first instance is just ending (a restart with more rights).
        platform::sleepMs(kSecondInstanceWaitMs);
        if (!platform::acquireSingleInstance(kInstanceName)) platform::exitProcess();
    }

    platform::WindowHandle mainWindow = platform::kNoWindow;
    const char* headless = std::getenv("TAVREL_HEADLESS");
    if (headless == nullptr || *headless == '\0') {
        std::fprintf(stderr, "tavrel: no screen backend in this build; reading instructions from standard input\n");
    }
    std::unique_ptr<platform::DialogBackend> backend = platform::makeScriptedBackend(mainWindow);
    platform::setDialogBackend(backend.get());
    mainWindow = createMainWindow();
    platform::runMessageLoop();
    platform::setDialogBackend(nullptr);
    platform::performElevatedRestart();
}

}  // namespace tavrel
