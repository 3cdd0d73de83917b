#include <cstdio>

#include "app/quick_mode.h"
#include "app/startup.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    tavrel::platform::setProcessArguments(argc, argv);
    const std::string sw = tavrel::prepareProcess();
    if (sw == "/q") {
        tavrel::runQuickMode();
        tavrel::platform::exitProcess();
    }
    std::fprintf(stderr, "tavrel: data prepared; the window program is not part of this build yet (try /q)\n");
    tavrel::platform::exitProcess();
}
