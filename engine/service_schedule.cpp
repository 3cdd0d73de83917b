#include "engine/service_schedule.h"

#include "engine/auto_timer.h"
#include "engine/operation.h"
#include "engine/supervisor.h"
#include "platform/time.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "storage/string_slots.h"

namespace tavrel {

std::atomic<uint64_t> serviceAutoSyncLeft{0};
std::atomic<uint64_t> serviceAutoSyncTick{0};

namespace {

constexpr int kSlotStartedService = 207;
// Counted when the tick count has not advanced since the last step.
constexpr uint64_t kStalledTickMs = 10'000;

}  // namespace

std::string serviceStartText() {
    std::string text = slot(kSlotStartedService);
    if (settings.timeServerEnabled.load() != 0) text += slot(kSlotBothServersActive) + " ";
    if (settings.autoSyncEnabled.load() != 0) {
        const int32_t unit = settings.autoSyncUnit.load();
        text += std::to_string(settings.autoSyncCount.load());
        text += slot(unit == 0 ? kSlotMinutesSuffix : unit == 1 ? kSlotHoursSuffix : kSlotDaysSuffix);
        text += slot(kSlotUntilAutoSync);
    }
    return text;
}

void serviceStartSteps() {
    settings.autoCheckEnabled.store(0);
    if (settings.autoSyncEnabled.load() == 0 && settings.timeServerEnabled.load() == 0) {
        settings.autoSyncUnit.store(1);
        settings.autoSyncCount.store(4);
        settings.autoSyncEnabled.store(1);
    }
    serviceAutoSyncLeft.store(0);
    serviceAutoSyncTick.store(platform::getTickCount64());
    logLine(serviceStartText());
}

void serviceAutoSyncPass() {
    if (settings.autoSyncEnabled.load() == 0) return;
    const uint64_t left = serviceAutoSyncLeft.load();
    if (left == 0) {
        serviceAutoSyncLeft.store(autoPeriodMs(settings.autoSyncCount.load(), settings.autoSyncUnit.load()));
        return;
    }
    const uint64_t now = platform::getTickCount64();
    const uint64_t last = serviceAutoSyncTick.load();
    const uint64_t elapsed = now > last ? now - last : kStalledTickMs;
    serviceAutoSyncTick.store(now);
    if (elapsed >= left) {
        correctMode.store(1);
        serviceAutoSyncLeft.store(0);
        startOperation(0);
    } else {
        serviceAutoSyncLeft.store(left - elapsed);
    }
}

}  // namespace tavrel
