#include "timezone/time_zone.h"

#include "platform/file.h"
#include "platform/time.h"
#include "platform/timezone.h"
#include "storage/data_directory.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "storage/string_slots.h"
#include "resources/program_name.h"

namespace tavrel {

std::atomic<int32_t> timeZonePhase{0};

namespace {

constexpr char kCaptionPrefix[] = "Tavrel " TAVREL_VERSION " - ";
constexpr int kLastWeek = 5;
constexpr char kLockedZoneFileName[] = "dZone.tzif";
constexpr size_t kLargestLockedZone = 1 << 20;

// The first of the last seven days of a month.
int lastWeekStart(int year, int month) {
    switch (month) {
        case 1: case 3: case 5: case 7: case 8: case 10: case 12: return 25;
        case 2: return platform::isLeapYear(year) ? 23 : 22;
        default: return 24;
    }
}

}  // namespace

std::string lockedZoneFile() { return dataDirectory() + kLockedZoneFileName; }

void lockTimeZone(bool locked) {
    const bool wasLocked = settings.timeZoneLocked.load();
    settings.timeZoneLocked.store(locked);
    if (locked == wasLocked) return;
    if (!locked) {
        (void)platform::removeFile(lockedZoneFile());
        return;
    }
    // The zone's own rules are kept beside the settings: a zone the tz
    // database cannot name is then put back as it was.
    const std::string contents = platform::timeZoneContents();
    if (!contents.empty()) (void)platform::writeFileReplacing(lockedZoneFile(), contents);
}

void enforceTimeZoneLock() {
    platform::TimeZoneInformation current;
    if (platform::getTimeZoneInformation(current) == platform::TimeZoneResult::Failed) return;
    const platform::TimeZoneInformation locked = lockedTimeZone();
    if (current.bias == locked.bias) return;
    std::string contents;
    const bool kept = platform::readSmallFile(lockedZoneFile(), contents, kLargestLockedZone);
    if (!(kept ? platform::setTimeZoneContents(contents) : platform::setTimeZoneInformation(locked))) return;
    // Windows tells every top-level window that the settings changed; Linux
    // has no such broadcast, and programs read the zone again themselves.
    if (settings.logSyncs.load() && !settings.logDisabled.load()) logLine(slot(kSlotTimeZoneRestored));
}

std::optional<std::string> refreshTimeZone() {
    if (settings.timeZoneLocked.load()) enforceTimeZoneLock();
    platform::TimeZoneInformation zone;
    const platform::TimeZoneResult result = platform::getTimeZoneInformation(zone);
    if (result == platform::TimeZoneResult::Failed) return std::nullopt;
    setLockedTimeZone(zone);
    // A zone without summer time is always in its standard time.
    const bool standard = result != platform::TimeZoneResult::Daylight;
    timeZonePhase.store(standard ? 0 : 1);
    std::optional<std::string> caption;
    if (serviceMode.load() == 0) {
        caption = kCaptionPrefix + platform::zoneNameText(standard ? zone.standardName : zone.daylightName);
    }
    const std::string display = platform::timeZoneDisplayName(zone);
    if (!display.empty()) setTimeZoneDisplayName(display);
    return caption;
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
    const int week = rule.day;
    if (rule.month < 1 || rule.month > 12 || rule.dayOfWeek > 6 || week < 1 || week > kLastWeek) {
        return platform::SystemTime{};
    }
    platform::SystemTime date{};
    date.year = static_cast<uint16_t>(rule.month < today.month ? today.year + 1 : today.year);
    date.month = rule.month;
    date.day = static_cast<uint16_t>(week == 1           ? 1
                                     : week == kLastWeek ? lastWeekStart(date.year, date.month)
                                                         : 7 * (week - 1) + 1);
    platform::FileTime at = 0;
    platform::SystemTime first{};
    if (!platform::systemTimeToFileTime(date, at) || !platform::fileTimeToSystemTime(at, first)) {
        return platform::SystemTime{};
    }
    const int64_t days = (rule.dayOfWeek - first.dayOfWeek + 7) % 7;
    // The rule's time may lie days either side of the date (-167 to 167 hours).
    const int64_t hours = static_cast<int16_t>(rule.hour);
    const int64_t rest = rule.minute * 60 + rule.second;
    const int64_t seconds = days * 86'400 + hours * 3600 + (hours < 0 ? -rest : rest);
    const int64_t shifted = static_cast<int64_t>(at) + seconds * static_cast<int64_t>(platform::kFileTimeUnitsPerSecond);
    platform::SystemTime out{};
    if (shifted < 0 || !platform::fileTimeToSystemTime(static_cast<platform::FileTime>(shifted), out)) {
        return platform::SystemTime{};
    }
    return out;
}

std::string formatTransition(const platform::SystemTime& date, const platform::SystemTime& today) {
    if (date.month == 0) return slot(kSlotNone);
    const platform::SystemTime when = date.year != 0 ? date : transitionDate(date, today);
    if (when.month == 0) return slot(kSlotNone);
    return platform::formatDefaultTime(when) + " " + platform::formatShortDate(when);
}

}  // namespace tavrel
