// Registers, starts, stops and removes the Tavrel service through the
// program's own service code, for the test that runs the service under
// Wine's service manager. Sits in the folder of Tavrel.exe, which is the
// program the registration names.
//
//   service_control install|start|stop|remove
//   service_control wait-state running|stopped|removed SECONDS
//   service_control logon 0|1|2    the start at logon for windowsStartAction
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/service.h"
#include "storage/data_directory.h"

namespace {

bool stateReached(const std::string& wanted) {
    tavrel::queryService();
    const bool installed = tavrel::serviceInstalled.load() != 0;
    const bool running = tavrel::serviceRunning.load() != 0;
    if (wanted == "running") return installed && running;
    if (wanted == "stopped") return installed && !running;
    return !installed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: service_control install|start|stop|remove|wait-state STATE SECONDS\n");
        return 2;
    }
    tavrel::locateDirectories();
    const std::string verb = argv[1];
    if (verb == "install") {
        tavrel::installService();
    } else if (verb == "start") {
        tavrel::startService();
    } else if (verb == "stop") {
        tavrel::stopService();
    } else if (verb == "remove") {
        tavrel::queryService();
        tavrel::uninstallService();
    } else if (verb == "logon" && argc == 3) {
        tavrel::settings.windowsStartAction.store(static_cast<tavrel::WindowsStartAction>(std::atoi(argv[2])));
        tavrel::registerWindowsStart();
    } else if (verb == "wait-state" && argc == 4) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::atof(argv[3]));
        while (!stateReached(argv[2])) {
            if (std::chrono::steady_clock::now() > end) {
                std::fprintf(stderr, "the service did not reach \"%s\"\n", argv[2]);
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return 0;
    } else {
        return 2;
    }
    return 0;
}
