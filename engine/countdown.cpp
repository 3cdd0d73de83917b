#include "engine/countdown.h"

#include "storage/string_slots.h"
#include "storage/strings.h"

namespace tavrel {
namespace {
constexpr uint64_t kSecondsPerDay = 86'400;
constexpr uint64_t kSecondsPerHour = 3600;
constexpr uint64_t kSecondsPerMinute = 60;
}  // namespace

CountdownText formatDuration(int64_t ms) {
    uint64_t s = ms > 0 ? static_cast<uint64_t>(ms) / 1000 : 0;
    CountdownText out;
    int written = 0;
    auto append = [&](uint64_t value, int unitSlot) {
        if (written > 0) out.text += " ";
        out.text += std::to_string(value) + slot(unitSlot);
        ++written;
    };
    const uint64_t days = s / kSecondsPerDay;
    if (days != 0) append(days, kSlotDaysSuffix);
    s -= days * kSecondsPerDay;
    const uint64_t hours = s / kSecondsPerHour;
    if (hours != 0) append(hours, kSlotHoursSuffix);
    if (written < 2) {
        s -= hours * kSecondsPerHour;
        const uint64_t minutes = s / kSecondsPerMinute;
        if (minutes != 0) append(minutes, kSlotMinutesSuffix);
        if (written < 2) {
            out.showsSeconds = true;
            s -= minutes * kSecondsPerMinute;
            if (s != 0 || written == 0) append(s, kSlotSecondsSuffix);
        }
    }
    return out;
}

CountdownText formatCountdown(AutoKind kind, int64_t leftMs) {
    CountdownText out = formatDuration(leftMs);
    out.text += slot(kind == AutoKind::Check ? kSlotUntilAutoCheck : kSlotUntilAutoSync);
    return out;
}

}  // namespace tavrel
