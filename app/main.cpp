#include "app/clock_helper.h"
#include "app/help.h"
#include "app/quick_mode.h"
#include "app/service.h"
#include "app/startup.h"
#include "app/window_program.h"
#include "engine/clock_helper.h"
#include "platform/process.h"

#include <string_view>

int main(int argc, char** argv) {
    tavrel::platform::setProcessArguments(argc, argv);
    // The clock helper before anything else: it runs with root's rights and
    // must not read the user's settings or files, nor start anything.
    if (argc >= 2 && std::string_view(argv[1]) == tavrel::kClockHelperSwitch) {
        tavrel::platform::exitProcess(tavrel::runClockHelper(argc, argv));
    }
    // Help and version come before anything starts: no files, no window.
    if (const auto information = tavrel::informationRequested(tavrel::platform::commandLine())) {
        tavrel::platform::showInformation(*information, "Tavrel");
        tavrel::platform::exitProcess(0);
    }
    const std::string sw = tavrel::prepareProcess();
    if (sw == "/q") {
        // A lookup still hanging is not waited for: the process ends.
        tavrel::LeftBehindQueries leftBehind;
        tavrel::platform::exitProcess(tavrel::runQuickMode(leftBehind, tavrel::quickRunLimit()));
    }
    if (sw == "/x") {
        tavrel::runServiceProcess();
        tavrel::platform::exitProcess();
    }
    if (sw == "/z") {
        tavrel::removeServiceSwitch();
        tavrel::platform::exitProcess();
    }
    tavrel::runWindowProgram(sw);
    tavrel::platform::exitProcess();
}
