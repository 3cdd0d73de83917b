#include "gui/terminal/calendar.h"

#include <algorithm>
#include <cstdint>

namespace tavrel::gui::terminal {

// A date moved by whole days, keeping its time of day (and setting its day
// of the week).
SystemTime movedByDays(const SystemTime& date, int days) {
    platform::FileTime ft = 0;
    if (!platform::systemTimeToFileTime(date, ft)) return date;
    const int64_t day = 86'400LL * static_cast<int64_t>(platform::kFileTimeUnitsPerSecond);
    const int64_t moved = static_cast<int64_t>(ft) + days * day;
    SystemTime out = date;
    if (moved < 0 || !platform::fileTimeToSystemTime(static_cast<platform::FileTime>(moved), out)) return date;
    return out;
}

SystemTime movedByMonths(const SystemTime& date, int months) {
    SystemTime moved = date;
    const int month = date.month - 1 + months;
    const int year = date.year + (month < 0 ? (month - 11) / 12 : month / 12);
    const int wrapped = ((month % 12) + 12) % 12 + 1;
    if (year < 1601 || year > 30827) return date;
    moved.year = static_cast<uint16_t>(year);
    moved.month = static_cast<uint16_t>(wrapped);
    moved.day = static_cast<uint16_t>(std::min<int>(date.day, platform::daysInMonth(year, wrapped)));
    return movedByDays(moved, 0);
}

const char* monthName(int month) {
    static constexpr const char* kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                              "July",    "August",   "September", "October", "November", "December"};
    return kMonths[((month - 1) % 12 + 12) % 12];
}

}  // namespace tavrel::gui::terminal
