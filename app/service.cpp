#include "app/service.h"

#include "engine/auto_timer.h"
#include "engine/operation.h"
#include "engine/supervisor.h"
#include "platform/autostart.h"
#include "platform/process.h"
#include "platform/service_dispatcher.h"
#include "platform/service_manager.h"
#include "platform/thread.h"
#include "storage/data_directory.h"
#include "storage/settings.h"
#include "timeservice/time_servers.h"
#include "timezone/time_zone.h"
#include "ui/main_window_display.h"

namespace tavrel {

std::atomic<int32_t> serviceInstalled{0};
std::atomic<int32_t> serviceRunning{0};

namespace {

constexpr char kServiceSwitch[] = "/x";
constexpr char kQuickSwitch[] = "/q";
constexpr char kLogonEntryName[] = "tavrel";
constexpr uint32_t kStartWaitHintMs = 3000;
constexpr uint32_t kStopWaitHintMs = 1000;
constexpr uint32_t kStopCheckMs = 500;
constexpr unsigned kStopChecks = 10;
constexpr uint32_t kStopBeforeRemoveMs = 1000;
constexpr uint32_t kServiceStatusHold = 99;

platform::ManualResetEvent stopEvent;

std::string programPath() { return programDirectory() + platform::kProgramFileName; }

void serviceControlHandler(bool stop) {
    if (stop) {
        platform::reportServiceStatus(platform::ServiceState::StopPending, 0, 0);
        closeRequested.store(1);
        stopEvent.set();
    } else {
        platform::reportServiceStatus(platform::ServiceState::Running, 0, 0);
    }
}

void serviceMain() {
    platform::reportServiceStatus(platform::ServiceState::StartPending, kStartWaitHintMs, 0);
    serviceMode.store(1);
    windowState.store(kWindowService);
    statusHold.store(kServiceStatusHold);
    refreshPeriod.store(kRefreshHiddenMs);
    stopEvent.reset();

    startSupervisor(platform::kNoWindow);
    const int32_t action = settings.programStartAction.load();
    if (action == 1 || action == 2) {
        correctMode.store(action == 2 ? 1 : 0);
        startOperation(platform::kNoWindow);
    }
    if (settings.timeServerEnabled.load() != 0) startTimeServers(platform::kNoWindow);
    refreshTimeZone(platform::kNoWindow);
    platform::reportServiceStatus(platform::ServiceState::Running, 0, 0);

    while (!stopEvent.wait(UINT32_MAX)) {
    }
    wakeEvent.set();
    // The supervisor clears closeRequested when it has finished.
    for (unsigned i = 0; i < kStopChecks && closeRequested.load() != 0; ++i) {
        platform::reportServiceStatus(platform::ServiceState::StopPending, kStopWaitHintMs, i);
        platform::sleepMs(kStopCheckMs);
    }
    platform::reportServiceStatus(platform::ServiceState::Stopped, 0, 0);
}

}  // namespace

void queryService() {
    bool installed = false;
    bool running = false;
    if (!platform::queryService(kServiceName, installed, running)) return;
    serviceInstalled.store(installed ? 1 : 0);
    serviceRunning.store(running ? 1 : 0);
}

void installService() {
    platform::installService(
        platform::ServiceIdentity{kServiceName, kServiceDisplayName, kServiceDescription, programPath(), kServiceSwitch});
}

void uninstallService() {
    if (serviceRunning.load() != 0) {
        stopService();
        platform::sleepMs(kStopBeforeRemoveMs);
    }
    platform::uninstallService(kServiceName);
}

void startService() { platform::startService(kServiceName); }
void stopService() { platform::stopService(kServiceName); }

void runServiceProcess() { (void)platform::runServiceDispatcher(serviceMain, serviceControlHandler); }

void removeServiceSwitch() {
    queryService();
    if (serviceInstalled.load() != 0) uninstallService();
}

void registerWindowsStart() {
    const int32_t action = settings.windowsStartAction.load();
    if (action == 0) {
        platform::removeLogonStart(kLogonEntryName);
    } else {
        const bool quick = action == 2;
        platform::setLogonStart(kLogonEntryName, programPath(), quick ? kQuickSwitch : "", !quick);
    }
}

}  // namespace tavrel
