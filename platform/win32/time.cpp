// Windows time services, through the system's own calls. The wall clock may
// be simulated (TAVREL_CLOCK_FILE, platform/clock_file.cpp): then it is read
// and set through that file and the system clock is never set. With
// TAVREL_LOCALTIME set, local time follows the zone that seam names (see
// platform/win32/timezone.cpp), as it does on Linux.
#include <windows.h>

#include "platform/time.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <string>

#include "platform/clock_arguments.h"
#include "platform/clock_file.h"
#include "platform/system_events.h"
#include "platform/timezone.h"
#include "platform/win32/win32_support.h"

namespace tavrel::platform {
namespace {

using win32::fromFileTime;
using win32::fromSystemTime;
using win32::toFileTime;
using win32::toSystemTime;

FileTime realUtcNow() {
    // The precise reading where the system has it (Windows 8 and later):
    // the coarse one moves in steps of up to 15.6 ms, which SNTP's
    // timestamps would carry.
    using Reader = VOID(WINAPI*)(LPFILETIME);
    static const Reader precise = reinterpret_cast<Reader>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
    FILETIME ft;
    if (precise != nullptr) {
        precise(&ft);
    } else {
        GetSystemTimeAsFileTime(&ft);
    }
    return fromFileTime(ft);
}

uint64_t realTickCount() { return GetTickCount64(); }

bool localTimeSeamActive() {
    const char* seam = std::getenv("TAVREL_LOCALTIME");
    return seam != nullptr && *seam != '\0';
}

bool setRealClock(const SYSTEMTIME& utc) { return SetSystemTime(&utc) != FALSE; }

// Tells every top-level window that the time changed (as Windows programs
// expect of whoever sets the clock); a window that hangs is not waited for.
constexpr UINT kTimeChangeWaitMs = 1000;
bool announced(bool set) {
    if (set) {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutA(HWND_BROADCAST, WM_TIMECHANGE, 0, 0, SMTO_ABORTIFHUNG, kTimeChangeWaitMs, &ignored);
    }
    return set;
}

// UTC to local time by the given zone's rules (nullptr: the zone in force)
// at that instant. The conversion goes through SYSTEMTIME, which holds
// milliseconds only, so the shift it finds is applied to the full value.
bool utcToLocal(const TIME_ZONE_INFORMATION* zone, FileTime utc, FileTime& local) {
    const FILETIME utcFt = toFileTime(utc);
    SYSTEMTIME utcSt, localSt;
    if (!FileTimeToSystemTime(&utcFt, &utcSt) || !SystemTimeToTzSpecificLocalTime(zone, &utcSt, &localSt)) {
        return false;
    }
    FILETIME utcMs, localMs;
    if (!SystemTimeToFileTime(&utcSt, &utcMs) || !SystemTimeToFileTime(&localSt, &localMs)) return false;
    const int64_t shift = static_cast<int64_t>(fromFileTime(localMs)) - static_cast<int64_t>(fromFileTime(utcMs));
    const int64_t result = static_cast<int64_t>(utc) + shift;
    if (result < 0) return false;
    local = static_cast<FileTime>(result);
    return true;
}

// Runs a GetTimeFormatA-style call twice, first for the size it needs.
template <typename Format>
std::string formatted(Format format) {
    const int needed = format(nullptr, 0);
    if (needed <= 0) return std::string();
    std::string text(static_cast<size_t>(needed), '\0');
    const int written = format(text.data(), needed);
    if (written <= 0) return std::string();
    text.resize(static_cast<size_t>(written - 1));  // without the closing NUL
    return text;
}

std::string formatTimeWith(const SystemTime& t, const char* picture) {
    const SYSTEMTIME st = toSystemTime(t);
    return formatted([&](char* buffer, int size) {
        return GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, picture, buffer, size);
    });
}

std::string formatDateWith(const SystemTime& t, DWORD flags) {
    const SYSTEMTIME st = toSystemTime(t);
    return formatted([&](char* buffer, int size) {
        return GetDateFormatA(LOCALE_USER_DEFAULT, flags, &st, nullptr, buffer, size);
    });
}

// The rate correction this program set (ppm), which a slew's end gives the
// clock back instead of the system's own rate.
std::atomic<bool> rateHeld{false};
std::atomic<double> heldRatePpm{0.0};

// The precise forms of the adjustment calls (Windows 10 and later), whose
// finer units keep a rate correction to a small part of a ppm.
using GetAdjustmentPrecise = BOOL(WINAPI*)(PDWORD64, PDWORD64, PBOOL);
using SetAdjustmentPrecise = BOOL(WINAPI*)(DWORD64, BOOL);
GetAdjustmentPrecise getAdjustmentPrecise() {
    static const auto call = reinterpret_cast<GetAdjustmentPrecise>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetSystemTimeAdjustmentPrecise")));
    return call;
}
SetAdjustmentPrecise setAdjustmentPrecise() {
    static const auto call = reinterpret_cast<SetAdjustmentPrecise>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetSystemTimeAdjustmentPrecise")));
    return call;
}

// Each clock interrupt adds the increment made `ppm` millionths larger.
bool applyClockRate(double ppm) {
    if (ppm == 0) return SetSystemTimeAdjustment(0, TRUE) != FALSE;
    const GetAdjustmentPrecise get = getAdjustmentPrecise();
    const SetAdjustmentPrecise set = setAdjustmentPrecise();
    if (get != nullptr && set != nullptr) {
        DWORD64 adjustment = 0, increment = 0;
        BOOL disabled = TRUE;
        if (!get(&adjustment, &increment, &disabled) || increment == 0) return false;
        const double scaled = static_cast<double>(increment) * (1.0 + ppm * 1e-6);
        return set(static_cast<DWORD64>(std::llround(scaled)), FALSE) != FALSE;
    }
    DWORD adjustment = 0, increment = 0;
    BOOL disabled = TRUE;
    if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled) || increment == 0) return false;
    const double scaled = static_cast<double>(increment) * (1.0 + ppm * 1e-6);
    return SetSystemTimeAdjustment(static_cast<DWORD>(std::lround(scaled)), FALSE) != FALSE;
}

// Ends an adjustment (a slew): the clock runs at the rate correction this
// program holds, or at the system's own rate when it holds none.
void restoreClockRate() {
    if (rateHeld.load()) {
        (void)applyClockRate(heldRatePpm.load());
    } else {
        (void)SetSystemTimeAdjustment(0, TRUE);
    }
}

// Windows keeps a changed clock rate until told otherwise: this ends a slew
// when it has run its time, and at the program's end whatever is left of
// one, so that the clock never keeps running fast or slow.
class SlewEnder {
public:
    ~SlewEnder() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
        if (active_) restoreClockRate();
    }
    // A slew of `units` started now ends after `ms`; one in progress is
    // replaced.
    void endAfter(DWORD ms, int64_t units) {
        {
            std::lock_guard lock(mutex_);
            active_ = true;
            started_ = std::chrono::steady_clock::now();
            deadline_ = started_ + std::chrono::milliseconds(ms);
            units_ = units;
            if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        }
        wake_.notify_all();
    }
    bool active() {
        std::lock_guard lock(mutex_);
        return active_;
    }
    void cancel() {
        std::lock_guard lock(mutex_);
        if (active_) restoreClockRate();
        active_ = false;
    }
    // Ends a slew in progress at once: the normal rate back, and the part
    // not yet slewed (its share of the duration still to run) as the result.
    SlewAtExit stop() {
        SlewAtExit out;
        std::lock_guard lock(mutex_);
        if (!active_) return out;
        restoreClockRate();
        active_ = false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline_) return out;
        out.slewing = true;
        const long double left = static_cast<long double>((deadline_ - now).count()) /
                                 static_cast<long double>((deadline_ - started_).count());
        out.restUnits = static_cast<int64_t>(static_cast<long double>(units_) * left);
        return out;
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            if (!active_) {
                wake_.wait(lock);
            } else if (wake_.wait_until(lock, deadline_) == std::cv_status::timeout && active_ &&
                       std::chrono::steady_clock::now() >= deadline_) {
                restoreClockRate();
                active_ = false;
            }
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    bool active_ = false;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point started_{};
    std::chrono::steady_clock::time_point deadline_{};
    int64_t units_ = 0;
    std::thread thread_;
};

SlewEnder& slewEnder() {
    static SlewEnder ender;
    return ender;
}

}  // namespace

FileTime getSystemTimeAsFileTime() { return clock_file::wallClock(realUtcNow); }

SystemTime getSystemTime() {
    if (clock_file::wallClockIsReal()) {
        SYSTEMTIME st;
        GetSystemTime(&st);
        return fromSystemTime(st);
    }
    SystemTime st;
    if (!fileTimeToSystemTime(getSystemTimeAsFileTime(), st)) st = SystemTime{};
    return st;
}

SystemTime getLocalTime() {
    if (clock_file::wallClockIsReal() && !localTimeSeamActive()) {
        SYSTEMTIME st;
        GetLocalTime(&st);
        return fromSystemTime(st);
    }
    SystemTime st;
    FileTime local = 0;
    if (!fileTimeToLocalFileTime(getSystemTimeAsFileTime(), local) || !fileTimeToSystemTime(local, st)) {
        st = SystemTime{};
    }
    return st;
}

// The clock changes themselves, once noted as this process's own (the
// WM_TIMECHANGE they broadcast reaches this program's window too).
static bool setSystemFileTimeNow(FileTime utc) {
    if (const char* path = clock_file::simulatedClockPath()) {
        return announced(clock_file::setSimulatedClock(path, utc, realUtcNow()));
    }
    SYSTEMTIME st;
    return announced(win32::clockSystemTime(utc, st) && setRealClock(st));
}

static bool stepSystemClockNow(int64_t units) {
    if (const char* path = clock_file::simulatedClockPath()) {
        return announced(clock_file::stepSimulatedClock(path, units, realUtcNow()));
    }
    slewEnder().cancel();
    // Read and set back to back: Windows has no call that adds to the clock.
    SYSTEMTIME st;
    return announced(win32::clockSystemTime(stepTarget(realUtcNow(), units), st) && setRealClock(st));
}

bool setSystemFileTime(FileTime utc) {
    const int64_t step = static_cast<int64_t>(utc) - static_cast<int64_t>(getSystemTimeAsFileTime());
    noteOwnClockStep(step);
    const bool set = setSystemFileTimeNow(utc);
    if (!set) noteOwnClockStep(-step);
    return set;
}

bool stepSystemClock(int64_t units) {
    noteOwnClockStep(units);
    const bool stepped = stepSystemClockNow(units);
    if (!stepped) noteOwnClockStep(-units);
    return stepped;
}

bool slewSystemClock(int64_t units) {
    if (const char* path = clock_file::simulatedClockPath()) {
        const int64_t duration = static_cast<int64_t>(slewDurationMs(units)) * static_cast<int64_t>(kFileTimeUnitsPerMs);
        return clock_file::slewSimulatedClock(path, units, duration, realUtcNow());
    }
    DWORD adjustment = 0, increment = 0;
    BOOL disabled = TRUE;
    if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled) || increment == 0) return false;
    // Each clock interrupt adds `increment` units; 500 ppm more or less of
    // it slews, and the slew lasts as long as it takes to gain the units.
    const SlewAdjustment slew = slewAdjustment(increment, units);
    if (slew.ms == 0) return true;
    if (!SetSystemTimeAdjustment(slew.rate, FALSE)) return false;
    slewEnder().endAfter(static_cast<DWORD>(std::min<uint64_t>(slew.ms, 0xFFFFFFF0u)), units);
    return true;
}

SlewAtExit finishSlewBeforeExit() {
    if (const char* path = clock_file::simulatedClockPath()) {
        // The simulated clock's slew lives in its file; here it is ended as
        // the system's would have to be.
        SlewAtExit out = clock_file::finishSimulatedSlew(path, realUtcNow());
        (void)announced(out.stepped);
        return out;
    }
    SlewAtExit out = slewEnder().stop();
    if (out.slewing) {
        SYSTEMTIME st;
        out.stepped = announced(win32::clockSystemTime(stepTarget(realUtcNow(), out.restUnits), st) && setRealClock(st));
    }
    return out;
}

double clockFrequency() {
    if (const char* path = clock_file::simulatedClockPath()) return clock_file::readSimulatedClock(path).correctionPpm;
    // While this program's slew runs, the clock's rate is the slew's: the
    // correction under it is the one held.
    if (slewEnder().active()) return rateHeld.load() ? heldRatePpm.load() : 0.0;
    const GetAdjustmentPrecise get = getAdjustmentPrecise();
    if (get != nullptr) {
        DWORD64 adjustment = 0, increment = 0;
        BOOL disabled = TRUE;
        if (!get(&adjustment, &increment, &disabled) || disabled || increment == 0) return 0;
        return (static_cast<double>(adjustment) / static_cast<double>(increment) - 1.0) * 1e6;
    }
    DWORD adjustment = 0, increment = 0;
    BOOL disabled = TRUE;
    if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled) || disabled || increment == 0) return 0;
    return (static_cast<double>(adjustment) / static_cast<double>(increment) - 1.0) * 1e6;
}

bool setClockFrequency(double ppm) {
    if (!(ppm >= -kLargestClockFrequencyPpm)) ppm = -kLargestClockFrequencyPpm;  // NaN too
    if (ppm > kLargestClockFrequencyPpm) ppm = kLargestClockFrequencyPpm;
    if (const char* path = clock_file::simulatedClockPath()) {
        return clock_file::setSimulatedFrequency(path, ppm, realUtcNow());
    }
    // A slew in progress keeps its rate; its end brings this one.
    if (!slewEnder().active() && !applyClockRate(ppm)) return false;
    heldRatePpm.store(ppm);
    rateHeld.store(ppm != 0);
    return true;
}

bool setSystemTime(const SystemTime& utc) {
    if (const char* path = clock_file::simulatedClockPath()) {
        FileTime ft = 0;
        return announced(systemTimeToFileTime(utc, ft) && clock_file::setSimulatedClock(path, ft, realUtcNow()));
    }
    return announced(setRealClock(toSystemTime(utc)));
}

void markClockUnsynchronised() {
    if (const char* path = clock_file::simulatedClockPath()) (void)clock_file::setSimulatedSyncState(path, ClockSyncState{});
}

// Windows keeps no synchronisation state a program can set or read here
// (its own time service keeps its own): only the simulated clock has one.
ClockSyncState clockSyncState() {
    if (const char* path = clock_file::simulatedClockPath()) return clock_file::simulatedSyncState(path);
    return ClockSyncState{};
}

bool markClockSynchronised(uint64_t maxErrorUs, uint64_t estErrorUs) {
    if (const char* path = clock_file::simulatedClockPath()) {
        return clock_file::setSimulatedSyncState(path, ClockSyncState{true, maxErrorUs, estErrorUs});
    }
    return true;
}

// Windows' clock has no leap seconds: the system is told nothing.
bool setLeapPending(LeapState leap) {
    if (const char* path = clock_file::simulatedClockPath()) return clock_file::setSimulatedLeap(path, leap);
    return true;
}

LeapState leapPending() {
    if (const char* path = clock_file::simulatedClockPath()) return clock_file::simulatedLeap(path);
    return LeapState::None;
}

bool systemTimeToFileTime(const SystemTime& st, FileTime& out) {
    const SYSTEMTIME in = toSystemTime(st);
    FILETIME ft;
    SYSTEMTIME back;
    if (!SystemTimeToFileTime(&in, &ft) || !FileTimeToSystemTime(&ft, &back)) return false;
    // Not every implementation refuses a day past the month's end (Wine
    // makes 29 February 2023 the first of March): a time that does not come
    // back as given was no valid time.
    if (back.wYear != in.wYear || back.wMonth != in.wMonth || back.wDay != in.wDay || back.wHour != in.wHour ||
        back.wMinute != in.wMinute || back.wSecond != in.wSecond || back.wMilliseconds != in.wMilliseconds) {
        return false;
    }
    out = fromFileTime(ft);
    return true;
}

bool fileTimeToSystemTime(FileTime ft, SystemTime& out) {
    const FILETIME in = toFileTime(ft);
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&in, &st)) return false;
    out = fromSystemTime(st);
    return true;
}

bool fileTimeToLocalFileTime(FileTime utc, FileTime& local) {
    if (localTimeSeamActive()) {
        // As on Linux, a seam that names no zone leaves local time at UTC.
        TimeZoneInformation zone;
        if (getTimeZoneInformation(zone) == TimeZoneResult::Failed) {
            local = utc;
            return true;
        }
        const TIME_ZONE_INFORMATION record = win32::toZoneRecord(zone);
        return utcToLocal(&record, utc, local);
    }
    return utcToLocal(nullptr, utc, local);
}

uint64_t getTickCount64() { return clock_file::tickCount(realTickCount); }

std::string formatTime(const SystemTime& t, const char* picture) { return formatTimeWith(t, picture); }
std::string formatDefaultTime(const SystemTime& t) { return formatTimeWith(t, nullptr); }
std::string formatLongDate(const SystemTime& t) { return formatDateWith(t, DATE_LONGDATE); }
std::string formatShortDate(const SystemTime& t) { return formatDateWith(t, DATE_SHORTDATE); }

}  // namespace tavrel::platform
