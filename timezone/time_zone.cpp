#include "timezone/time_zone.h"

#include "platform/timezone.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "storage/string_slots.h"

namespace tavrel {

std::atomic<int32_t> timeZonePhase{0};

namespace {

constexpr char kCaptionPrefix[] = "Tavrel 1.5 - ";
constexpr int kSlotTimeZoneRestored = 173;
constexpr int kLastWeek = 5;

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// The first of the last seven days of a month.
int lastWeekStart(int year, int month) {
    switch (month) {
        case 1: case 3: case 5: case 7: case 8: case 10: case 12: return 25;
        case 2: return isLeapYear(year) ? 23 : 22;
        default: return 24;
    }
}

platform::SystemTime normalised(const platform::SystemTime& t) {
    platform::FileTime ft = 0;
    platform::SystemTime out = t;
    if (platform::systemTimeToFileTime(t, ft)) (void)platform::fileTimeToSystemTime(ft, out);
    return out;
}

}  // namespace

void enforceTimeZoneLock() {
    platform::TimeZoneInformation current;
    if (platform::getTimeZoneInformation(current) == platform::TimeZoneResult::Failed) return;
    const platform::TimeZoneInformation locked = lockedTimeZone();
    if (current.bias == locked.bias) return;
    if (!platform::setTimeZoneInformation(locked)) return;
    // Windows tells every top-level window that the settings changed; Linux
    // has no such broadcast, and programs read the zone again themselves.
    if (settings.logSyncs.load() != 0 && settings.logDisabled.load() == 0) logLine(slot(kSlotTimeZoneRestored));
}

void refreshTimeZone(platform::WindowHandle window) {
    if (settings.timeZoneLocked.load() != 0) enforceTimeZoneLock();
    platform::TimeZoneInformation zone;
    const platform::TimeZoneResult result = platform::getTimeZoneInformation(zone);
    if (result == platform::TimeZoneResult::Failed) return;
    setLockedTimeZone(zone);
    const bool standard = result == platform::TimeZoneResult::Standard;
    timeZonePhase.store(standard ? 0 : 1);
    if (serviceMode.load() == 0) {
        platform::setWindowText(window, kCaptionPrefix +
                                            platform::zoneNameText(standard ? zone.standardName : zone.daylightName));
    }
    const std::string display = platform::timeZoneDisplayName(zone);
    if (!display.empty()) setTimeZoneDisplayName(display);
}

std::string formatBias(int32_t minutes) {
    if (minutes == 0) return slot(kSlotNone);
    std::string text = minutes < 0 ? "- " : "+ ";
    const int32_t magnitude = minutes < 0 ? -minutes : minutes;
    const int32_t hours = magnitude / 60;
    const int32_t rest = magnitude % 60;
    if (hours != 0) text += std::to_string(hours) + slot(hours == 1 ? kSlotHourSuffix : kSlotHoursSuffix);
    if (rest != 0) text += " " + std::to_string(rest) + slot(rest == 1 ? kSlotMinuteSuffix : kSlotMinutesSuffix);
    return text;
}

platform::SystemTime transitionDate(const platform::SystemTime& rule, const platform::SystemTime& today) {
    platform::SystemTime date = rule;
    date.year = static_cast<uint16_t>(rule.month < today.month ? today.year + 1 : today.year);
    const int week = rule.day;
    date.day = static_cast<uint16_t>(week == 1           ? 1
                                     : week >= kLastWeek ? lastWeekStart(date.year, date.month)
                                                         : 7 * (week - 1) + 1);
    date.milliseconds = 0;
    date = normalised(date);
    while (date.dayOfWeek != rule.dayOfWeek) {
        ++date.day;
        date.dayOfWeek = static_cast<uint16_t>((date.dayOfWeek + 1) % 7);
    }
    return normalised(date);
}

std::string formatTransition(const platform::SystemTime& date, const platform::SystemTime& today) {
    if (date.month == 0) return slot(kSlotNone);
    const platform::SystemTime when = date.year != 0 ? date : transitionDate(date, today);
    return platform::formatDefaultTime(when) + " " + platform::formatShortDate(when);
}

}  // namespace tavrel
