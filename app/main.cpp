#include <cstdio>

#include "app/startup.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    tavrel::platform::setProcessArguments(argc, argv);
    const std::string sw = tavrel::prepareProcess();
    (void)sw;
    std::fprintf(stderr, "tavrel: data prepared; the window program is not part of this build yet\n");
    tavrel::platform::exitProcess();
}
