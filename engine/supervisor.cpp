#include "engine/supervisor.h"

#include <mutex>
#include <thread>

#include "engine/operation.h"
#include "engine/service_schedule.h"
#include "engine/time_query.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "timeservice/time_servers.h"
#include "ui/main_window_display.h"

namespace tavrel {
namespace {

constexpr int kSlotServiceStopped = 208;
constexpr int kServerStopWaits = 20;
constexpr uint32_t kServerStopStepMs = 1000;

std::mutex threadMutex;
std::thread supervisorThread;
std::mutex observerMutex;
std::function<void(uint64_t)> passObserver;

void notifyObserver(uint64_t pass) {
    std::function<void(uint64_t)> observer;
    {
        std::lock_guard lock(observerMutex);
        observer = passObserver;
    }
    if (observer) observer(pass);
}

void supervise(platform::WindowHandle window) {
    if (serviceMode.load() != 0) serviceStartSteps();
    countdownTick.store(0);
    uint64_t pass = 0;
    do {
        notifyObserver(++pass);
        supervisorPass(window);
        wakeEvent.wait(refreshPeriod.load());
        wakeEvent.reset();
    } while (closeRequested.load() == 0);

    if (serviceMode.load() != 0) {
        logLine(slot(kSlotServiceStopped));
        stopTimeServers();
        stopWinsock();
        closeRequested.store(0);
        return;
    }
    if (settings.timeServerEnabled.load() != 0 && serverActivity.load() != 0) {
        stopTimeServers();
        // Servers that do not stop in time do not hold up the window's end.
        for (int i = 0; i < kServerStopWaits && serverActivity.load() != 0; ++i) platform::sleepMs(kServerStopStepMs);
    }
    platform::postCommand(window, kCommandSupervisorEnded);
}

}  // namespace

void startSupervisor(platform::WindowHandle window) {
    closeRequested.store(0);
    queryStep.store(0);
    queryFailed.store(0);
    shownStep.store(0);
    wakeEvent.reset();
    std::lock_guard lock(threadMutex);
    if (supervisorThread.joinable()) supervisorThread.join();
    supervisorThread = std::thread(supervise, window);
}

void supervisorPass(platform::WindowHandle window) {
    if (syncState.load() == kSyncIdle || scanActive.load() != 0) {
        idleDisplayPass(window);
        if (serviceMode.load() != 0) serviceAutoSyncPass();
    } else {
        operationPass(window);
    }
    serverClockPass(window);
}

void joinSupervisor() {
    std::lock_guard lock(threadMutex);
    if (supervisorThread.joinable()) supervisorThread.join();
}

void setSupervisorPassObserver(std::function<void(uint64_t)> observer) {
    std::lock_guard lock(observerMutex);
    passObserver = std::move(observer);
}

}  // namespace tavrel
