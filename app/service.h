// The system service "tavrel" and the start at logon: registration with
// the service manager, the service process itself, and the logon entry
// that saving the settings writes for windowsStartAction.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "storage/settings.h"
#include "ui/service_controls.h"

namespace tavrel {

inline constexpr char kServiceName[] = "tavrel";
inline constexpr char kServiceDisplayName[] = "Tavrel Internet Time Synchronisation";
inline constexpr char kServiceDescription[] = "Corrects time and provides a TIME server";

void queryService();
// Registers the service to run this program with "/x". Returns what the
// user should be told when the system refuses it, else empty.
std::string installService();
// Stops a running service (waiting a second), then removes it.
void uninstallService();
void startService();
void stopService();

// "/x": runs as the service when the service manager started the process;
// returns at once otherwise.
void runServiceProcess();
// "/z": removes the service when it is installed.
void removeServiceSwitch();

// Start at logon for windowsStartAction: 1 the window program, 2 "/q",
// 0 none.
void registerWindowsStart();

// All of the above for the Options sheet; the window program makes one for
// its run.
class ProgramServiceControls final : public ServiceControls {
public:
    void query() override { queryService(); }
    std::string install() override { return installService(); }
    void uninstall() override { uninstallService(); }
    void start() override { startService(); }
    void stop() override { stopService(); }
    void registerWindowsStart() override { tavrel::registerWindowsStart(); }
};

}  // namespace tavrel
