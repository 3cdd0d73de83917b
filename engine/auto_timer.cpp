#include "engine/auto_timer.h"

#include "engine/operation.h"
#include "engine/time_query.h"
#include "platform/time.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "storage/string_slots.h"

namespace tavrel {

std::atomic<int32_t> autoTimerKind{kAutoNone};
std::atomic<uint64_t> autoSyncStart{0};
std::atomic<uint64_t> autoCheckStart{0};
std::atomic<uint64_t> countdownBase{0};
std::atomic<uint64_t> countdownPeriod{0};

namespace {

constexpr uint64_t kMinuteMs = 60'000;
constexpr uint64_t kHourMs = 3'600'000;
constexpr uint64_t kDayMs = 86'400'000;
constexpr int64_t kShortestArmMs = 60'000;
constexpr uint32_t kPostponeMs = 30'000;
// A timer that fires this close to the event counts as on time.
constexpr int64_t kDueWithinMs = 1000;
constexpr char kAutoSyncError[] = "AutoSync Error";
constexpr char kErrorCaption[] = "Tavrel.exe";

void choose(int32_t kind, uint64_t period, uint64_t base) {
    autoTimerKind.store(kind);
    countdownPeriod.store(period);
    countdownBase.store(base);
}

// Ms left of the armed event's period; negative when overdue.
int64_t countdownLeft() {
    return static_cast<int64_t>(countdownPeriod.load()) -
           static_cast<int64_t>(platform::getTickCount64() - countdownBase.load());
}

void setAutoTimer(platform::WindowHandle window, int64_t ms) {
    const int64_t step = ms < kLongestTimerStepMs ? ms : kLongestTimerStepMs;
    platform::setTimer(window, kAutoTimerId, static_cast<uint32_t>(step < 1 ? 1 : step));
}

}  // namespace

uint64_t autoPeriodMs(uint32_t count, int32_t unit) {
    const uint64_t unitMs = unit == 0 ? kMinuteMs : unit == 1 ? kHourMs : kDayMs;
    return static_cast<uint64_t>(count) * unitMs;
}

int64_t timeUntilNextAuto() {
    const uint64_t syncPeriod = autoPeriodMs(settings.autoSyncCount.load(), settings.autoSyncUnit.load());
    const uint64_t checkPeriod = autoPeriodMs(settings.autoCheckCount.load(), settings.autoCheckUnit.load());
    const bool syncOn = settings.autoSyncEnabled.load() != 0;
    const bool checkOn = settings.autoCheckEnabled.load() != 0;
    if (syncOn && checkOn) {
        if (autoCheckStart.load() + checkPeriod > autoSyncStart.load() + syncPeriod) {
            choose(kAutoSync, syncPeriod, autoSyncStart.load());
        } else {
            choose(kAutoCheck, checkPeriod, autoCheckStart.load());
        }
    } else if (checkOn) {
        choose(kAutoCheck, checkPeriod, autoCheckStart.load());
    } else {
        choose(kAutoSync, syncPeriod, autoSyncStart.load());
    }
    return countdownLeft();
}

void armAutoTimer(platform::WindowHandle window) {
    const uint64_t now = platform::getTickCount64();
    if (autoSyncStart.load() == 0) autoSyncStart.store(now);
    if (autoCheckStart.load() == 0) autoCheckStart.store(now);
    int64_t left = timeUntilNextAuto();
    // Less than a minute away, or overdue: both periods start again now.
    if (left < kShortestArmMs) {
        const uint64_t restart = platform::getTickCount64();
        autoSyncStart.store(restart);
        autoCheckStart.store(restart);
        left = timeUntilNextAuto();
        if (left < kShortestArmMs) {
            platform::messageBox(platform::kNoWindow, kAutoSyncError, kErrorCaption, platform::MessageBoxKind::Ok);
            left = kShortestArmMs;
        }
    }
    setAutoTimer(window, left);
}

void autoTimerFired(platform::WindowHandle window) {
    platform::killTimer(window, kAutoTimerId);
    // A long period is armed in steps: one step ended, the event is not due.
    const int64_t left = countdownLeft();
    if (left > kDueWithinMs) {
        setAutoTimer(window, left);
        return;
    }
    if (scanActive.load() != 0 || queryStep.load() != 0) {
        countdownBase.store(platform::getTickCount64());
        countdownPeriod.store(kPostponeMs);
        platform::setTimer(window, kAutoTimerId, kPostponeMs);
        return;
    }
    const int32_t kind = autoTimerKind.load() % kRedrawMark;
    if (kind == kAutoSync) {
        correctMode.store(1);
        autoSyncStart.store(0);
    } else if (kind == kAutoCheck) {
        correctMode.store(0);
        autoCheckStart.store(0);
    }
    startOperation(window);
    armAutoTimer(window);
}

void resetAutoTimers(platform::WindowHandle window) {
    if (autoTimerKind.load() == kAutoNone) return;
    platform::killTimer(window, kAutoTimerId);
    autoSyncStart.store(0);
    autoCheckStart.store(0);
    autoTimerKind.store(kAutoNone);
    armAutoTimer(window);
}

std::string formatCountdown() {
    int32_t kind = autoTimerKind.load();
    if (kind > kRedrawMark) kind -= kRedrawMark;
    const int64_t left = countdownLeft();
    uint64_t s = left > 0 ? static_cast<uint64_t>(left) / 1000 : 0;
    std::string text;
    int written = 0;
    auto append = [&](uint64_t value, int unitSlot) {
        if (written > 0) text += " ";
        text += std::to_string(value) + slot(unitSlot);
        ++written;
    };
    const uint64_t days = s / 86'400;
    if (days != 0) append(days, kSlotDaysSuffix);
    s -= days * 86'400;
    const uint64_t hours = s / 3600;
    if (hours != 0) append(hours, kSlotHoursSuffix);
    if (written < 2) {
        s -= hours * 3600;
        const uint64_t minutes = s / 60;
        if (minutes != 0) append(minutes, kSlotMinutesSuffix);
        if (written < 2) {
            // Seconds may show, so the text is redrawn on every pass.
            if (kind < kRedrawMark) kind += kRedrawMark;
            s -= minutes * 60;
            if (s != 0 || written == 0) append(s, kSlotSecondsSuffix);
        }
    }
    autoTimerKind.store(kind);
    text += slot(kind % kRedrawMark == kAutoCheck ? kSlotUntilAutoCheck : kSlotUntilAutoSync);
    return text;
}

void resetAutoTimerState() {
    autoTimerKind.store(kAutoNone);
    autoSyncStart.store(0);
    autoCheckStart.store(0);
    countdownBase.store(0);
    countdownPeriod.store(0);
}

}  // namespace tavrel
