#include "engine/auto_timer.h"

#include <chrono>

#include "platform/process.h"
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
constexpr const char* kErrorCaption = platform::kProgramCaption;

bool syncEnabled() { return settings.autoSyncEnabled.load(); }
bool checkEnabled() { return settings.autoCheckEnabled.load(); }

}  // namespace

// A count of 0 gives a period shorter than a minute: it says so and counts
// as a minute.
uint64_t AutoTimer::period(std::chrono::milliseconds set) {
    if (set >= kShortestPeriod) return static_cast<uint64_t>(set.count());
    host_.showMessage(kAutoSyncError, kErrorCaption);
    return static_cast<uint64_t>(kShortestPeriod.count());
}
uint64_t AutoTimer::syncPeriod() { return period(autoSyncPeriod()); }
uint64_t AutoTimer::checkPeriod() { return period(autoCheckPeriod()); }

void AutoTimer::publish(Countdown countdown) {
    countdown_ = countdown;
    engine_.setCountdown(countdown);
}

void AutoTimer::setTimerFor(int64_t ms) {
    if (ms < kShortestArmMs) ms = kShortestArmMs;
    if (ms > kLongestTimerStepMs) ms = kLongestTimerStepMs;
    host_.setAutoTimer(static_cast<uint32_t>(ms));
}

void AutoTimer::disarm() {
    host_.killAutoTimer();
    publish(Countdown{});
}

void AutoTimer::arm() {
    const bool sync = syncEnabled();
    const bool check = checkEnabled();
    if (!sync && !check) {
        disarm();
        return;
    }
    const uint64_t now = platform::getTickCount64();
    if (syncStart_ == 0) syncStart_ = now;
    if (checkStart_ == 0) checkStart_ = now;
    Countdown next;
    if (sync) next = Countdown{AutoKind::Sync, syncStart_ + syncPeriod()};
    if (check) {
        const uint64_t checkDue = checkAskedNow_ ? now : checkStart_ + checkPeriod();
        if (!sync || checkDue < next.dueTick) next = Countdown{AutoKind::Check, checkDue};
    }
    publish(next);
    setTimerFor(static_cast<int64_t>(next.dueTick) - static_cast<int64_t>(now));
}

void AutoTimer::fired() {
    host_.killAutoTimer();
    const uint64_t now = platform::getTickCount64();
    // A long period is armed in steps: one step ended, the event is not due.
    const int64_t left = static_cast<int64_t>(countdown_.dueTick) - static_cast<int64_t>(now);
    if (left > kDueWithinMs) {
        setTimerFor(left);
        return;
    }
    if (engine_.operationOrScanRunning()) {
        publish(Countdown{countdown_.kind, now + kPostponeMs});
        host_.setAutoTimer(kPostponeMs);
        return;
    }
    const uint64_t dueBy = now + kDueWithinMs;
    const bool syncDue = syncEnabled() && syncStart_ + syncPeriod() <= dueBy;
    const bool checkDue = checkEnabled() && (checkAskedNow_ || checkStart_ + checkPeriod() <= dueBy);
    if (syncDue && engine_.requestAutoOperation(true)) {
        syncStart_ = now;
        if (checkDue) {
            checkStart_ = now;
            checkAskedNow_ = false;
        }
    } else if (checkDue && !syncDue && engine_.requestAutoOperation(false)) {
        checkStart_ = now;
        checkAskedNow_ = false;
    } else if (syncDue || checkDue) {
        // The engine took another request meanwhile: try again in 30 s.
        publish(Countdown{countdown_.kind, now + kPostponeMs});
        host_.setAutoTimer(kPostponeMs);
        return;
    }
    arm();
}

void AutoTimer::resumed() {
    if (countdown_.kind == AutoKind::None) return;
    fired();
}

void AutoTimer::checkNow() {
    if (!checkEnabled() || countdown_.kind == AutoKind::None) return;
    checkAskedNow_ = true;
    host_.killAutoTimer();
    arm();
}

void AutoTimer::reset() {
    if (countdown_.kind == AutoKind::None) return;
    host_.killAutoTimer();
    syncStart_ = 0;
    checkStart_ = 0;
    checkAskedNow_ = false;
    countdown_ = Countdown{};
    arm();
}

void AutoTimer::restartPeriod(AutoKind which) {
    if (countdown_.kind == AutoKind::None) return;
    if (which == AutoKind::Sync) syncStart_ = 0;
    if (which == AutoKind::Check) {
        checkStart_ = 0;
        checkAskedNow_ = false;
    }
    disarm();
}

void AutoTimer::settingsChanged() {
    host_.killAutoTimer();
    arm();
}

}  // namespace tavrel
