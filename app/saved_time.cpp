#include "app/saved_time.h"

#include <cstring>
#include <string>

#include "engine/clock_correction.h"
#include "storage/last_time.h"
#include "storage/log.h"

namespace tavrel {
namespace {

constexpr uint64_t kSaveEveryMs = 3'600'000;
// A year of 365.25 days, in 100-ns units.
constexpr platform::FileTime kYear = 36'525ULL * 864 * platform::kFileTimeUnitsPerSecond;

// The saved time as the log writes it: the file's own line.
std::string shown(platform::FileTime utc) {
    std::string text = lastTimeText(utc);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

platform::FileTime programBuildTime() {
    // __DATE__ reads "Dec 10 2026" (the day blank-padded); a reproducible
    // build sets it from SOURCE_DATE_EPOCH.
    static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const char* date = __DATE__;
    platform::SystemTime t{};
    for (uint16_t m = 0; m < 12; ++m) {
        if (std::strncmp(date, kMonths + 3 * m, 3) == 0) t.month = static_cast<uint16_t>(m + 1);
    }
    t.day = static_cast<uint16_t>((date[4] == ' ' ? 0 : date[4] - '0') * 10 + (date[5] - '0'));
    t.year = static_cast<uint16_t>((date[7] - '0') * 1000 + (date[8] - '0') * 100 + (date[9] - '0') * 10 + (date[10] - '0'));
    platform::FileTime built = 0;
    (void)platform::systemTimeToFileTime(t, built);
    return built;
}

SavedTimeStart stepForwardToSavedTime(platform::FileTime builtAt) {
    const SavedLastTime saved = readLastTime();
    if (!saved.present) return SavedTimeStart::NoFile;
    if (!saved.utc) {
        logLine(std::string(kLastTimeFileName) + " holds no time; ignored", LogLevel::Warning);
        return SavedTimeStart::Ignored;
    }
    if (*saved.utc > builtAt + kSavedTimeYearsAfterBuild * kYear) {
        logLine(std::string(kLastTimeFileName) + " holds " + shown(*saved.utc) + ", more than " +
                    std::to_string(kSavedTimeYearsAfterBuild) + " years after this program was built; ignored",
                LogLevel::Warning);
        return SavedTimeStart::Ignored;
    }
    const platform::FileTime now = platform::getSystemTimeAsFileTime();
    if (now >= *saved.utc) return SavedTimeStart::ClockNotBehind;
    const int64_t behind = static_cast<int64_t>(*saved.utc - now);
    if (!platform::stepSystemClock(behind)) {
        logLine("Clock was behind the last saved time (" + shown(*saved.utc) + "), but could not be stepped forward",
                LogLevel::Warning);
        return SavedTimeStart::StepRefused;
    }
    platform::markClockUnsynchronised();
    logLine("Clock was behind the last saved time; stepped forward by " + formatSecondsFigure(behind) + " s");
    return SavedTimeStart::SteppedForward;
}

void SavedTimeKeeper::save() {
    if (writeLastTime(platform::getSystemTimeAsFileTime())) {
        savedTick_.store(platform::getTickCount64());
        saved_.store(true);
    }
}

void SavedTimeKeeper::saveWhenDue() {
    if (!saved_.load() || platform::getTickCount64() - savedTick_.load() >= kSaveEveryMs) save();
}

}  // namespace tavrel
