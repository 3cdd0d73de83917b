#include "platform/clock_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace tavrel::platform {
namespace {

// Stand-ins for the system's clocks (tests); process-wide like the clocks
// they stand in for.
std::atomic<WallClockSource> wallClockSource{nullptr};
std::atomic<TickSource> tickSource{nullptr};

// One signed decimal number from `at`, moving it past the number; false
// when there is none or it does not fit.
bool readNumber(const char*& at, long long& value) {
    errno = 0;
    char* end = nullptr;
    value = std::strtoll(at, &end, 10);
    if (errno != 0 || end == at) return false;
    at = end;
    return true;
}

std::string ppmText(double ppm) {
    char text[48];
    const auto written = std::to_chars(text, text + sizeof text, ppm);
    return std::string(text, written.ptr);
}

bool writeClock(const char* path, const clock_file::SimulatedClock& clock) {
    std::string text = std::to_string(clock.offset);
    if (clock.slewDuration > 0) {
        text += " " + std::to_string(clock.slewAmount) + " " + std::to_string(clock.slewStart) + " " +
                std::to_string(clock.slewDuration);
    }
    if (clock.rateBase != 0) {
        text += " natural=" + ppmText(clock.naturalPpm) + " correction=" + ppmText(clock.correctionPpm) +
                " base=" + std::to_string(clock.rateBase);
    }
    return writeFileReplacing(path, text + "\n");
}

// The rate fields ("natural=", "correction=", "base=") from `at` on;
// unknown or malformed fields are passed over.
void readRateFields(const char* at, clock_file::SimulatedClock& clock) {
    const std::string_view rest(at);
    size_t pos = 0;
    while (pos < rest.size()) {
        while (pos < rest.size() && (rest[pos] == ' ' || rest[pos] == '\t' || rest[pos] == '\r' || rest[pos] == '\n')) ++pos;
        size_t end = pos;
        while (end < rest.size() && rest[end] != ' ' && rest[end] != '\t' && rest[end] != '\r' && rest[end] != '\n') ++end;
        const std::string_view field = rest.substr(pos, end - pos);
        pos = end;
        const size_t equals = field.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view name = field.substr(0, equals);
        const std::string_view value = field.substr(equals + 1);
        const char* first = value.data();
        const char* last = value.data() + value.size();
        if (name == "natural" || name == "correction") {
            double ppm = 0;
            const auto read = std::from_chars(first, last, ppm);
            if (read.ec != std::errc() || read.ptr != last || !std::isfinite(ppm) || std::fabs(ppm) > 1e5) continue;
            (name == "natural" ? clock.naturalPpm : clock.correctionPpm) = ppm;
        } else if (name == "base") {
            unsigned long long base = 0;
            const auto read = std::from_chars(first, last, base);
            if (read.ec == std::errc() && read.ptr == last) clock.rateBase = static_cast<FileTime>(base);
        }
    }
}

// The clock with the rate's gain so far moved into its offset and the
// rate counted from `realNow`.
void rebase(clock_file::SimulatedClock& clock, FileTime realNow) {
    clock.offset += clock.rateGain(realNow);
    if (clock.rateBase != 0) clock.rateBase = realNow;
}

}  // namespace

void setWallClockSource(WallClockSource source) { wallClockSource.store(source); }
void setTickSource(TickSource source) { tickSource.store(source); }

bool simulatedClockActive() { return clock_file::simulatedClockPath() != nullptr; }
std::string simulatedClockFilePath() {
    const char* path = clock_file::simulatedClockPath();
    return path != nullptr ? path : std::string();
}

namespace clock_file {

const char* simulatedClockPath() {
    const char* path = std::getenv("TAVREL_CLOCK_FILE");
    return (path != nullptr && *path != '\0') ? path : nullptr;
}

bool simulatedRightWithheld() {
    const char* withheld = std::getenv("TAVREL_CLOCK_NO_RIGHT");
    return withheld != nullptr && std::string(withheld) == "1";
}

int64_t SimulatedClock::slewedBy(FileTime realNow) const {
    if (slewDuration <= 0 || realNow <= slewStart) return 0;
    const FileTime elapsed = realNow - slewStart;
    if (elapsed >= static_cast<FileTime>(slewDuration)) return slewAmount;
    // Evenly over the duration (a long double keeps 64 bits of mantissa:
    // exact to the unit for any slew a clock makes).
    const long double share = static_cast<long double>(elapsed) / static_cast<long double>(slewDuration);
    return static_cast<int64_t>(static_cast<long double>(slewAmount) * share);
}

int64_t SimulatedClock::rateGain(FileTime realNow) const {
    if (rateBase == 0 || realNow <= rateBase) return 0;
    const long double ppm = static_cast<long double>(naturalPpm) + static_cast<long double>(correctionPpm);
    return static_cast<int64_t>(ppm * 1e-6L * static_cast<long double>(realNow - rateBase));
}

SimulatedClock readSimulatedClock(const char* path) {
    // A missing or unreadable file, or a line that is not numbers, means no
    // offset; a slew that is not whole is ignored.
    SimulatedClock clock;
    std::string text;
    if (!readSmallFile(path, text, 512)) return clock;
    const char* at = text.c_str();
    long long offset = 0;
    if (!readNumber(at, offset)) return clock;
    clock.offset = offset;
    const char* afterOffset = at;
    long long amount = 0, start = 0, duration = 0;
    if (readNumber(at, amount) && readNumber(at, start) && readNumber(at, duration) && duration > 0 && start > 0) {
        clock.slewAmount = amount;
        clock.slewStart = static_cast<FileTime>(start);
        clock.slewDuration = duration;
    } else {
        at = afterOffset;
    }
    readRateFields(at, clock);
    return clock;
}

FileTime wallClock(FileTime (*realUtcNow)()) {
    if (WallClockSource source = wallClockSource.load()) return source();
    const char* path = simulatedClockPath();
    if (path == nullptr) return realUtcNow();
    // The file first, then the real clock: the reading is the clock's at the
    // moment it returns, not a file read's time earlier.
    const SimulatedClock clock = readSimulatedClock(path);
    return clock.reading(realUtcNow());
}

bool wallClockIsReal() { return wallClockSource.load() == nullptr && simulatedClockPath() == nullptr; }

// The clock as `was` with its slew ended and its rate re-based at `realNow`:
// the reading unchanged, the offset holding all gained so far.
SimulatedClock settled(const SimulatedClock& was, FileTime realNow) {
    SimulatedClock clock;
    clock.offset = was.offset + was.slewedBy(realNow);
    clock.naturalPpm = was.naturalPpm;
    clock.correctionPpm = was.correctionPpm;
    clock.rateBase = was.rateBase;
    rebase(clock, realNow);
    return clock;
}

bool setSimulatedClock(const char* path, FileTime utc, FileTime realNow) {
    if (simulatedRightWithheld()) return false;
    SimulatedClock clock = settled(readSimulatedClock(path), realNow);
    clock.offset = static_cast<int64_t>(utc - realNow);
    return writeClock(path, clock);
}

bool stepSimulatedClock(const char* path, int64_t units, FileTime realNow) {
    if (simulatedRightWithheld()) return false;
    SimulatedClock clock = settled(readSimulatedClock(path), realNow);
    clock.offset += units;
    return writeClock(path, clock);
}

bool setSimulatedFrequency(const char* path, double correctionPpm, FileTime realNow) {
    if (simulatedRightWithheld()) return false;
    SimulatedClock clock = readSimulatedClock(path);
    clock.offset += clock.rateGain(realNow);
    clock.rateBase = realNow;
    clock.correctionPpm = correctionPpm;
    // The slew in progress runs on.
    return writeClock(path, clock);
}

bool slewSimulatedClock(const char* path, int64_t units, int64_t duration, FileTime realNow) {
    if (simulatedRightWithheld()) return false;
    SimulatedClock clock = settled(readSimulatedClock(path), realNow);
    if (duration > 0 && units != 0) {
        clock.slewAmount = units;
        clock.slewStart = realNow;
        clock.slewDuration = duration;
    } else {
        clock.offset += units;
    }
    return writeClock(path, clock);
}

SlewAtExit finishSimulatedSlew(const char* path, FileTime realNow) {
    SlewAtExit out;
    const SimulatedClock clock = readSimulatedClock(path);
    if (clock.slewDuration <= 0 || realNow >= clock.slewStart + static_cast<FileTime>(clock.slewDuration)) return out;
    out.slewing = true;
    out.restUnits = clock.slewAmount - clock.slewedBy(realNow);
    out.stepped = stepSimulatedClock(path, out.restUnits, realNow);
    return out;
}

ClockSyncState simulatedSyncState(const char* path) {
    ClockSyncState state;
    std::string text;
    if (!readSmallFile(std::string(path) + ".sync", text, 256)) return state;
    unsigned long long maxError = 0, estError = 0;
    int synchronised = 0;
    if (std::sscanf(text.c_str(), "%d %llu %llu", &synchronised, &maxError, &estError) == 3) {
        state.synchronised = synchronised != 0;
        state.maxErrorUs = maxError;
        state.estErrorUs = estError;
    }
    return state;
}

bool setSimulatedSyncState(const char* path, const ClockSyncState& state) {
    if (simulatedRightWithheld()) return false;
    return writeFileReplacing(std::string(path) + ".sync", std::to_string(state.synchronised ? 1 : 0) + " " +
                                                               std::to_string(state.maxErrorUs) + " " +
                                                               std::to_string(state.estErrorUs) + "\n");
}

LeapState simulatedLeap(const char* path) {
    std::string text;
    if (!readSmallFile(std::string(path) + ".leap", text, 16)) return LeapState::None;
    if (text.starts_with("1")) return LeapState::Insert;
    if (text.starts_with("2")) return LeapState::Delete;
    return LeapState::None;
}

bool setSimulatedLeap(const char* path, LeapState leap) {
    if (simulatedRightWithheld()) return false;
    return writeFileReplacing(std::string(path) + ".leap", std::to_string(static_cast<int>(leap)) + "\n");
}

uint64_t tickCount(uint64_t (*realTicks)()) {
    if (TickSource source = tickSource.load()) return source();
    return realTicks();
}

}  // namespace clock_file
}  // namespace tavrel::platform
