#include "app/quick_mode.h"
#include "app/startup.h"
#include "app/window_program.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    tavrel::platform::setProcessArguments(argc, argv);
    const std::string sw = tavrel::prepareProcess();
    if (sw == "/q") {
        tavrel::runQuickMode();
        tavrel::platform::exitProcess();
    }
    tavrel::runWindowProgram(sw);
    tavrel::platform::exitProcess();
}
