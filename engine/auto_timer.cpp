#include "engine/auto_timer.h"

#include <chrono>

#include "platform/time.h"
#include "storage/settings.h"

namespace tavrel {
namespace {

constexpr std::chrono::milliseconds kShortestPeriod = std::chrono::minutes(1);
constexpr uint32_t kPostponeMs = 30'000;
// Never armed closer than this, so that an overdue event cannot spin.
constexpr int64_t kShortestArmMs = 1000;
// An event this close to its due time counts as due.
constexpr int64_t kDueWithinMs = 1000;
constexpr char kAutoSyncError[] = "AutoSync Error";
constexpr char kErrorCaption[] = "Tavrel.exe";

bool syncEnabled() { return settings.autoSyncEnabled.load(); }
bool checkEnabled() { return settings.autoCheckEnabled.load(); }

// A period of the settings in ms; one shorter than a minute (a count of 0)
// says so and counts as a minute.
uint64_t period(std::chrono::milliseconds set) {
    if (set >= kShortestPeriod) return static_cast<uint64_t>(set.count());
    gui::messageBox(gui::kNoWindow, kAutoSyncError, kErrorCaption, gui::MessageBoxKind::Ok);
    return static_cast<uint64_t>(kShortestPeriod.count());
}
uint64_t syncPeriod() { return period(autoSyncPeriod()); }
uint64_t checkPeriod() { return period(autoCheckPeriod()); }

}  // namespace

void AutoTimer::publish(Countdown countdown) {
    countdown_ = countdown;
    engine_.setCountdown(countdown);
}

void AutoTimer::setTimerFor(gui::WindowHandle window, int64_t ms) {
    if (ms < kShortestArmMs) ms = kShortestArmMs;
    if (ms > kLongestTimerStepMs) ms = kLongestTimerStepMs;
    gui::setTimer(window, kAutoTimerId, static_cast<uint32_t>(ms));
}

void AutoTimer::disarm(gui::WindowHandle window) {
    gui::killTimer(window, kAutoTimerId);
    publish(Countdown{});
}

void AutoTimer::arm(gui::WindowHandle window) {
    const bool sync = syncEnabled();
    const bool check = checkEnabled();
    if (!sync && !check) {
        disarm(window);
        return;
    }
    const uint64_t now = platform::getTickCount64();
    if (syncStart_ == 0) syncStart_ = now;
    if (checkStart_ == 0) checkStart_ = now;
    Countdown next;
    if (sync) next = Countdown{AutoKind::Sync, syncStart_ + syncPeriod()};
    if (check) {
        const uint64_t checkDue = checkStart_ + checkPeriod();
        if (!sync || checkDue < next.dueTick) next = Countdown{AutoKind::Check, checkDue};
    }
    publish(next);
    setTimerFor(window, static_cast<int64_t>(next.dueTick) - static_cast<int64_t>(now));
}

void AutoTimer::fired(gui::WindowHandle window) {
    gui::killTimer(window, kAutoTimerId);
    const uint64_t now = platform::getTickCount64();
    // A long period is armed in steps: one step ended, the event is not due.
    const int64_t left = static_cast<int64_t>(countdown_.dueTick) - static_cast<int64_t>(now);
    if (left > kDueWithinMs) {
        setTimerFor(window, left);
        return;
    }
    if (engine_.operationOrScanRunning()) {
        publish(Countdown{countdown_.kind, now + kPostponeMs});
        gui::setTimer(window, kAutoTimerId, kPostponeMs);
        return;
    }
    const uint64_t dueBy = now + kDueWithinMs;
    const bool syncDue = syncEnabled() && syncStart_ + syncPeriod() <= dueBy;
    const bool checkDue = checkEnabled() && checkStart_ + checkPeriod() <= dueBy;
    if (syncDue && engine_.requestAutoOperation(true)) {
        syncStart_ = now;
        if (checkDue) checkStart_ = now;
    } else if (checkDue && !syncDue && engine_.requestAutoOperation(false)) {
        checkStart_ = now;
    } else if (syncDue || checkDue) {
        // The engine took another request meanwhile: try again in 30 s.
        publish(Countdown{countdown_.kind, now + kPostponeMs});
        gui::setTimer(window, kAutoTimerId, kPostponeMs);
        return;
    }
    arm(window);
}

void AutoTimer::reset(gui::WindowHandle window) {
    if (countdown_.kind == AutoKind::None) return;
    gui::killTimer(window, kAutoTimerId);
    syncStart_ = 0;
    checkStart_ = 0;
    countdown_ = Countdown{};
    arm(window);
}

void AutoTimer::restartPeriod(gui::WindowHandle window, AutoKind which) {
    if (countdown_.kind == AutoKind::None) return;
    if (which == AutoKind::Sync) syncStart_ = 0;
    if (which == AutoKind::Check) checkStart_ = 0;
    disarm(window);
}

void AutoTimer::settingsChanged(gui::WindowHandle window) {
    const bool armedEventOff = (countdown_.kind == AutoKind::Sync && !syncEnabled()) ||
                               (countdown_.kind == AutoKind::Check && !checkEnabled());
    if (countdown_.kind == AutoKind::None || armedEventOff) arm(window);
}

}  // namespace tavrel
