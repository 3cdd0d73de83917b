// Time services: the wall clock (UTC and local), setting the clock, the
// millisecond tick count and the locale's time and date texts.
#pragma once

#include <cstdint>
#include <string>

namespace tavrel::platform {

// Calendar time broken into fields, shaped like the Win32 SYSTEMTIME.
struct SystemTime {
    uint16_t year = 0;
    uint16_t month = 0;      // 1..12
    uint16_t dayOfWeek = 0;  // 0 = Sunday
    uint16_t day = 0;        // 1..31
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t milliseconds = 0;
};
static_assert(sizeof(SystemTime) == 16);

// Count of 100-ns intervals since 1601-01-01 00:00 UTC (the Win32 FILETIME).
using FileTime = uint64_t;

inline constexpr FileTime kFileTimeUnitsPerSecond = 10'000'000;
inline constexpr FileTime kFileTimeUnitsPerMs = 10'000;
// 1900-01-01 00:00 UTC, the NTP and RFC 868 epoch.
inline constexpr FileTime kFileTime1900 = 0x014F373BFDE04000ULL;
// 1970-01-01 00:00 UTC, the Unix epoch.
inline constexpr FileTime kFileTime1970 = 116'444'736'000'000'000ULL;

inline constexpr uint32_t upperWord(FileTime t) { return static_cast<uint32_t>(t >> 32); }
inline constexpr uint32_t lowerWord(FileTime t) { return static_cast<uint32_t>(t); }
inline constexpr FileTime makeFileTime(uint32_t upper, uint32_t lower) {
    return (static_cast<FileTime>(upper) << 32) | lower;
}

// The Gregorian calendar's leap-year rule, and the days of a month (1-12).
constexpr bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }
constexpr int daysInMonth(int year, int month) {
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// The wall clock in UTC, at the platform's full resolution.
FileTime getSystemTimeAsFileTime();
// The wall clock in UTC and in local time, millisecond resolution.
SystemTime getSystemTime();
SystemTime getLocalTime();

// Sets the wall clock to the given UTC time. Fails (false) without the
// clock privilege or for a time the system refuses.
[[nodiscard]] bool setSystemTime(const SystemTime& utc);
[[nodiscard]] bool setSystemFileTime(FileTime utc);
// Moves the wall clock by `units` (100 ns, signed) at once, relative to
// where it stands when the call acts, so that no time is lost between
// reading the clock and setting it. Ends a slew in progress. Fails (false)
// without the clock privilege.
[[nodiscard]] bool stepSystemClock(int64_t units);
// How fast a slew moves the clock: 500 microseconds a second (500 ppm),
// the rate Linux slews at; the clock never stops or runs backwards.
inline constexpr int64_t kSlewUnitsPerSecond = 5'000;
// The milliseconds a slew of `units` takes at that rate, rounded up.
constexpr uint64_t slewDurationMs(int64_t units) {
    const uint64_t magnitude = units < 0 ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
    return (magnitude * 1000 + kSlewUnitsPerSecond - 1) / kSlewUnitsPerSecond;
}
// Slews the wall clock by `units`: it runs a little fast or slow until it
// has gained or lost them (slewDurationMs), never stepping. A new slew
// replaces the rest of one in progress. False when refused.
[[nodiscard]] bool slewSystemClock(int64_t units);
// What finishSlewBeforeExit found and did.
struct SlewAtExit {
    bool slewing = false;   // a slew was still running
    bool stepped = false;   // the part of it not yet slewed was stepped
    int64_t restUnits = 0;  // that part, in 100-ns units
};
// Called as the program ends. Where a slew does not outlive the process
// (Windows: the changed clock rate is the program's to undo, so it would
// stay set, or the slew be cut off), the normal rate is restored and the
// part not yet slewed is stepped. Where the system carries a slew on by
// itself (Linux's kernel, and the simulated clock standing in for it
// there) nothing is done and nothing is reported.
SlewAtExit finishSlewBeforeExit();

// The clock's rate correction in parts per million (> 0: the clock runs
// faster than it would on its own), whoever set it: Linux the kernel's
// frequency (adjtimex), Windows the clock's adjustment against its
// increment, the simulated clock its file's correction. 0 where the system
// keeps none.
double clockFrequency();
// Sets the rate correction, within +-kLargestClockFrequencyPpm; it stays
// after the program ends, as the kernel keeps it. A slew runs on top of
// it. False without the clock privilege or when refused.
[[nodiscard]] bool setClockFrequency(double ppm);
inline constexpr double kLargestClockFrequencyPpm = 500.0;

// Conversions; false for values outside the representable range
// (years 1601..30827, valid calendar fields).
[[nodiscard]] bool systemTimeToFileTime(const SystemTime& st, FileTime& out);
[[nodiscard]] bool fileTimeToSystemTime(FileTime ft, SystemTime& out);
// UTC to local time with the zone's offset in force at that instant.
[[nodiscard]] bool fileTimeToLocalFileTime(FileTime utc, FileTime& local);

// Milliseconds since an arbitrary start: the full count, and the same
// wrapping at 2^32 (GetTickCount).
uint64_t getTickCount64();
inline uint32_t getTickCount() { return static_cast<uint32_t>(getTickCount64()); }

// The time formatted with a Win32 time picture (h hh H HH m mm s ss t tt,
// literal text in single quotes, '' for a quote), as GetTimeFormatA does.
std::string formatTime(const SystemTime& t, const char* picture);
// The date in the user's locale's long form (weekday, day, month name, year).
std::string formatLongDate(const SystemTime& t);
// The time of day and the date in the user's locale's default forms.
std::string formatDefaultTime(const SystemTime& t);
std::string formatShortDate(const SystemTime& t);

// What the system says of the clock's synchronisation: kept by a time
// daemon (on Linux the kernel's STA_UNSYNC is clear) and the bound on its
// error. Unknown (false, 0) where the system does not say.
struct ClockSyncState {
    bool synchronised = false;
    uint64_t maxErrorUs = 0;
    uint64_t estErrorUs = 0;
};
ClockSyncState clockSyncState();
// Tells the system the clock was just set from a good source, with the
// bound on its error and the estimated error, as time daemons do (Linux:
// the kernel then reports the clock synchronised and keeps the hardware
// clock in step). Needs the clock privilege; false when refused. The
// simulated clock keeps this beside its file instead.
bool markClockSynchronised(uint64_t maxErrorUs, uint64_t estErrorUs);
// Tells the system the clock is not known good (a step from a guess, not
// from a time source): time daemons and the own servers then do not vouch
// for it. Linux's kernel counts any step as that already; the simulated
// clock keeps it beside its file.
void markClockUnsynchronised();

// A leap second announced for the end of the current UTC day.
enum class LeapState : uint8_t { None = 0, Insert = 1, Delete = 2 };
// Tells the system of a leap second at the end of this UTC day, or that
// none is coming (Linux: STA_INS or STA_DEL in the kernel's status, the
// other status bits kept; the kernel inserts or deletes the second at
// midnight and clears the bit). Windows keeps no leap seconds: nothing to
// do. Needs the clock privilege; false when refused. The simulated clock
// keeps it beside its file instead.
bool setLeapPending(LeapState leap);
// What the system was last told.
LeapState leapPending();

// True when the simulated clock (TAVREL_CLOCK_FILE) stands in for the real one.
bool simulatedClockActive();
// The simulated clock's file as given, or empty with the real clock.
std::string simulatedClockFilePath();

// Test seams: replace the sources of the UTC wall clock and of the tick
// count; nullptr restores the real ones. Not for use while other threads
// read the clock.
using WallClockSource = FileTime (*)();
using TickSource = uint64_t (*)();
void setWallClockSource(WallClockSource source);
void setTickSource(TickSource source);

}  // namespace tavrel::platform
