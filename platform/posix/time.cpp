// Linux time services. The wall clock may be simulated: with
// TAVREL_CLOCK_FILE set, it is the real UTC clock plus a signed offset in
// 100-ns units kept in that file, and setting the clock rewrites the offset
// (platform/clock_file.cpp, shared with the other platforms).
#include "platform/time.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/time.h>
#include <sys/timex.h>
#include <locale.h>
#include <string>

#include "platform/clock_arguments.h"
#include "platform/clock_file.h"
#include "platform/system_events.h"

namespace tavrel::platform {
namespace {

FileTime realUtcNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return fileTimeOfUnix(static_cast<int64_t>(ts.tv_sec), static_cast<int64_t>(ts.tv_nsec));
}

uint64_t realTickCount() {
    timespec ts{};
    // Time asleep counts: a period that ended in sleep is due at the wake.
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1'000'000u;
}

// Days since 1601-01-01 for a proleptic Gregorian date (Howard Hinnant's
// days_from_civil, shifted from 1970 to 1601).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468 + 134774;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468 - 134774;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}


// Seconds east of UTC in force at the given Unix time.
long localOffsetSeconds(time_t unixTime) {
    tm local{};
    if (localtime_r(&unixTime, &local) == nullptr) return 0;
    return local.tm_gmtoff;
}

locale_t userTimeLocale() {
    static locale_t loc = [] {
        locale_t l = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
        if (l == static_cast<locale_t>(0)) l = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
        return l;
    }();
    return loc;
}

std::string twoDigits(unsigned v) {
    std::string s(2, '0');
    s[0] = static_cast<char>('0' + (v / 10) % 10);
    s[1] = static_cast<char>('0' + v % 10);
    return s;
}

}  // namespace

// The clock changes themselves, once noted as this process's own.
static bool setSystemFileTimeNow(FileTime utc);
static bool stepSystemClockNow(int64_t units);

FileTime getSystemTimeAsFileTime() { return clock_file::wallClock(realUtcNow); }

SystemTime getSystemTime() {
    SystemTime st;
    FileTime now = getSystemTimeAsFileTime();
    if (!fileTimeToSystemTime(now, st)) st = SystemTime{};
    return st;
}

SystemTime getLocalTime() {
    SystemTime st;
    FileTime local = 0;
    if (!fileTimeToLocalFileTime(getSystemTimeAsFileTime(), local) || !fileTimeToSystemTime(local, st)) {
        st = SystemTime{};
    }
    return st;
}

bool setSystemFileTime(FileTime utc) {
    // This process's own step: the watcher of other programs' steps discounts it.
    const int64_t step = static_cast<int64_t>(utc) - static_cast<int64_t>(getSystemTimeAsFileTime());
    noteOwnClockStep(step);
    const bool set = setSystemFileTimeNow(utc);
    if (!set) noteOwnClockStep(-step);
    return set;
}

bool setSystemFileTimeNow(FileTime utc) {
    if (const char* path = clock_file::simulatedClockPath()) {
        return clock_file::setSimulatedClock(path, utc, realUtcNow());
    }
    SecondsAndFraction target;
    if (!unixTimeOf(utc, target)) return false;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(target.seconds);
    ts.tv_nsec = static_cast<long>(target.fraction);
    return clock_settime(CLOCK_REALTIME, &ts) == 0;
}

bool stepSystemClock(int64_t units) {
    noteOwnClockStep(units);
    const bool stepped = stepSystemClockNow(units);
    if (!stepped) noteOwnClockStep(-units);
    return stepped;
}

bool stepSystemClockNow(int64_t units) {
    if (const char* path = clock_file::simulatedClockPath()) {
        return clock_file::stepSimulatedClock(path, units, realUtcNow());
    }
    // The kernel adds the offset itself, with no reading in between.
    timex tx{};
    tx.modes = ADJ_SETOFFSET | ADJ_NANO;
    const SecondsAndFraction offset = stepOffsetNanoseconds(units);
    tx.time.tv_sec = static_cast<time_t>(offset.seconds);
    tx.time.tv_usec = static_cast<suseconds_t>(offset.fraction);
    return adjtimex(&tx) != -1;
}

bool slewSystemClock(int64_t units) {
    if (const char* path = clock_file::simulatedClockPath()) {
        const int64_t duration = static_cast<int64_t>(slewDurationMs(units)) * static_cast<int64_t>(kFileTimeUnitsPerMs);
        return clock_file::slewSimulatedClock(path, units, duration, realUtcNow());
    }
    // adjtime slews at the kernel's 500 ppm and replaces what is left of an
    // earlier adjustment.
    const SecondsAndFraction slew = slewDeltaMicroseconds(units);
    timeval delta{};
    delta.tv_sec = static_cast<time_t>(slew.seconds);
    delta.tv_usec = static_cast<suseconds_t>(slew.fraction);
    return adjtime(&delta, nullptr) == 0;
}

namespace {
// The kernel keeps the frequency in ppm with a 16-bit binary fraction.
constexpr double kKernelFrequencyScale = 65536.0;
}  // namespace

double clockFrequency() {
    if (const char* path = clock_file::simulatedClockPath()) {
        return clock_file::readSimulatedClock(path).correctionPpm;
    }
    timex tx{};  // modes 0: read only
    if (adjtimex(&tx) == -1) return 0;
    return static_cast<double>(tx.freq) / kKernelFrequencyScale;
}

bool setClockFrequency(double ppm) {
    if (!(ppm >= -kLargestClockFrequencyPpm)) ppm = -kLargestClockFrequencyPpm;  // NaN too
    if (ppm > kLargestClockFrequencyPpm) ppm = kLargestClockFrequencyPpm;
    if (const char* path = clock_file::simulatedClockPath()) {
        return clock_file::setSimulatedFrequency(path, ppm, realUtcNow());
    }
    timex tx{};
    tx.modes = ADJ_FREQUENCY;
    tx.freq = std::lround(ppm * kKernelFrequencyScale);
    return adjtimex(&tx) != -1;
}

ClockSyncState clockSyncState() {
    if (const char* path = clock_file::simulatedClockPath()) return clock_file::simulatedSyncState(path);
    ClockSyncState state;
    timex tx{};  // modes 0: read only
    const int result = adjtimex(&tx);
    if (result == -1) return state;
    state.synchronised = result != TIME_ERROR && (tx.status & STA_UNSYNC) == 0;
    state.maxErrorUs = static_cast<uint64_t>(tx.maxerror);
    state.estErrorUs = static_cast<uint64_t>(tx.esterror);
    return state;
}

bool markClockSynchronised(uint64_t maxErrorUs, uint64_t estErrorUs) {
    if (const char* path = clock_file::simulatedClockPath()) {
        return clock_file::setSimulatedSyncState(path, ClockSyncState{true, maxErrorUs, estErrorUs});
    }
    timex tx{};
    if (adjtimex(&tx) == -1) return false;  // the status as it is
    tx.modes = ADJ_STATUS | ADJ_MAXERROR | ADJ_ESTERROR;
    tx.status &= ~STA_UNSYNC;
    tx.maxerror = static_cast<long>(maxErrorUs);
    tx.esterror = static_cast<long>(estErrorUs);
    return adjtimex(&tx) != -1;
}

bool setLeapPending(LeapState leap) {
    if (const char* path = clock_file::simulatedClockPath()) return clock_file::setSimulatedLeap(path, leap);
    timex tx{};
    if (adjtimex(&tx) == -1) return false;  // the status as it is
    tx.modes = ADJ_STATUS;
    tx.status &= ~(STA_INS | STA_DEL);
    if (leap == LeapState::Insert) tx.status |= STA_INS;
    if (leap == LeapState::Delete) tx.status |= STA_DEL;
    return adjtimex(&tx) != -1;
}

LeapState leapPending() {
    if (const char* path = clock_file::simulatedClockPath()) return clock_file::simulatedLeap(path);
    timex tx{};
    if (adjtimex(&tx) == -1) return LeapState::None;
    if ((tx.status & STA_INS) != 0) return LeapState::Insert;
    if ((tx.status & STA_DEL) != 0) return LeapState::Delete;
    return LeapState::None;
}

void markClockUnsynchronised() {
    if (const char* path = clock_file::simulatedClockPath()) {
        (void)clock_file::setSimulatedSyncState(path, ClockSyncState{});
        return;
    }
    // The kernel marks a stepped clock unsynchronised itself; said again
    // here for a clock that was not stepped through it.
    timex tx{};
    if (adjtimex(&tx) == -1) return;
    tx.modes = ADJ_STATUS;
    tx.status |= STA_UNSYNC;
    (void)adjtimex(&tx);
}

// The kernel carries a slew on after the process that started it has
// ended (adjtime), and so does the simulated clock standing in for it.
SlewAtExit finishSlewBeforeExit() { return SlewAtExit{}; }

bool setSystemTime(const SystemTime& utc) {
    FileTime ft = 0;
    return systemTimeToFileTime(utc, ft) && setSystemFileTime(ft);
}

bool systemTimeToFileTime(const SystemTime& st, FileTime& out) {
    if (st.year < 1601 || st.year > 30827 || st.month < 1 || st.month > 12 || st.day < 1 ||
        st.day > daysInMonth(st.year, st.month) || st.hour > 23 || st.minute > 59 || st.second > 59 ||
        st.milliseconds > 999) {
        return false;
    }
    const int64_t days = daysFromCivil(st.year, st.month, st.day);
    const uint64_t seconds = static_cast<uint64_t>(days) * 86400 + st.hour * 3600u + st.minute * 60u + st.second;
    out = seconds * kFileTimeUnitsPerSecond + st.milliseconds * kFileTimeUnitsPerMs;
    return true;
}

bool fileTimeToSystemTime(FileTime ft, SystemTime& out) {
    if (ft >= 0x8000000000000000ULL) return false;
    const uint64_t totalMs = ft / kFileTimeUnitsPerMs;
    const uint64_t totalSeconds = totalMs / 1000;
    const int64_t days = static_cast<int64_t>(totalSeconds / 86400);
    const uint64_t secOfDay = totalSeconds % 86400;
    int64_t y = 0;
    unsigned m = 0, d = 0;
    civilFromDays(days, y, m, d);
    out.year = static_cast<uint16_t>(y);
    out.month = static_cast<uint16_t>(m);
    out.day = static_cast<uint16_t>(d);
    out.dayOfWeek = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
    out.hour = static_cast<uint16_t>(secOfDay / 3600);
    out.minute = static_cast<uint16_t>(secOfDay / 60 % 60);
    out.second = static_cast<uint16_t>(secOfDay % 60);
    out.milliseconds = static_cast<uint16_t>(totalMs % 1000);
    return true;
}

bool fileTimeToLocalFileTime(FileTime utc, FileTime& local) {
    const int64_t unixSeconds = (static_cast<int64_t>(utc) - static_cast<int64_t>(kFileTime1970)) /
                                static_cast<int64_t>(kFileTimeUnitsPerSecond);
    const int64_t shift = static_cast<int64_t>(localOffsetSeconds(static_cast<time_t>(unixSeconds))) *
                          static_cast<int64_t>(kFileTimeUnitsPerSecond);
    const int64_t result = static_cast<int64_t>(utc) + shift;
    if (result < 0) return false;
    local = static_cast<FileTime>(result);
    return true;
}

uint64_t getTickCount64() { return clock_file::tickCount(realTickCount); }

std::string formatTime(const SystemTime& t, const char* picture) {
    std::string out;
    const std::string_view pic(picture);
    size_t i = 0;
    while (i < pic.size()) {
        const char c = pic[i];
        if (c == '\'') {
            // Quoted literal; '' inside quotes stands for one quote.
            ++i;
            while (i < pic.size()) {
                if (pic[i] == '\'') {
                    if (i + 1 < pic.size() && pic[i + 1] == '\'') {
                        out += '\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                out += pic[i++];
            }
            continue;
        }
        size_t run = 1;
        while (i + run < pic.size() && pic[i + run] == c) ++run;
        const bool twoWide = run >= 2;
        switch (c) {
            case 'H': out += twoWide ? twoDigits(t.hour) : std::to_string(t.hour); break;
            case 'h': {
                unsigned h12 = t.hour % 12 == 0 ? 12 : t.hour % 12;
                out += twoWide ? twoDigits(h12) : std::to_string(h12);
                break;
            }
            case 'm': out += twoWide ? twoDigits(t.minute) : std::to_string(t.minute); break;
            case 's': out += twoWide ? twoDigits(t.second) : std::to_string(t.second); break;
            case 't': out += t.hour < 12 ? (twoWide ? "AM" : "A") : (twoWide ? "PM" : "P"); break;
            default: out.append(run, c); break;
        }
        i += run;
    }
    return out;
}

namespace {

std::string formatWith(const SystemTime& t, const char* format) {
    tm fields{};
    fields.tm_year = t.year - 1900;
    fields.tm_mon = t.month - 1;
    fields.tm_mday = t.day;
    fields.tm_wday = t.dayOfWeek;
    fields.tm_hour = t.hour;
    fields.tm_min = t.minute;
    fields.tm_sec = t.second;
    char buffer[128];
    const size_t n = strftime_l(buffer, sizeof buffer, format, &fields, userTimeLocale());
    return std::string(buffer, n);
}

}  // namespace

std::string formatDefaultTime(const SystemTime& t) { return formatWith(t, "%X"); }
// Day, month and year in the long date's order ("7 Dec 2026"): "%x" in the
// C and US locales puts the month first, which reads wrongly beside the
// long date.
std::string formatShortDate(const SystemTime& t) { return formatWith(t, "%-d %b %Y"); }

std::string formatLongDate(const SystemTime& t) {
    tm fields{};
    fields.tm_year = t.year - 1900;
    fields.tm_mon = t.month - 1;
    fields.tm_mday = t.day;
    fields.tm_wday = t.dayOfWeek;
    char buffer[128];
    const size_t n = strftime_l(buffer, sizeof buffer, "%A, %-d %B %Y", &fields, userTimeLocale());
    return std::string(buffer, n);
}

}  // namespace tavrel::platform
