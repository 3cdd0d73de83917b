#include "platform/clock_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

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

bool writeClock(const char* path, const clock_file::SimulatedClock& clock) {
    std::string text = std::to_string(clock.offset);
    if (clock.slewDuration > 0) {
        text += " " + std::to_string(clock.slewAmount) + " " + std::to_string(clock.slewStart) + " " +
                std::to_string(clock.slewDuration);
    }
    return writeFileReplacing(path, text + "\n");
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

SimulatedClock readSimulatedClock(const char* path) {
    // A missing or unreadable file, or a line that is not numbers, means no
    // offset; a slew that is not whole is ignored.
    SimulatedClock clock;
    std::string text;
    if (!readSmallFile(path, text, 128)) return clock;
    const char* at = text.c_str();
    long long offset = 0;
    if (!readNumber(at, offset)) return clock;
    clock.offset = offset;
    long long amount = 0, start = 0, duration = 0;
    if (readNumber(at, amount) && readNumber(at, start) && readNumber(at, duration) && duration > 0 && start > 0) {
        clock.slewAmount = amount;
        clock.slewStart = static_cast<FileTime>(start);
        clock.slewDuration = duration;
    }
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

bool setSimulatedClock(const char* path, FileTime utc, FileTime realNow) {
    if (simulatedRightWithheld()) return false;
    SimulatedClock clock;
    clock.offset = static_cast<int64_t>(utc - realNow);
    return writeClock(path, clock);
}

bool stepSimulatedClock(const char* path, int64_t units, FileTime realNow) {
    if (simulatedRightWithheld()) return false;
    const SimulatedClock was = readSimulatedClock(path);
    SimulatedClock clock;
    clock.offset = was.offset + was.slewedBy(realNow) + units;
    return writeClock(path, clock);
}

bool slewSimulatedClock(const char* path, int64_t units, int64_t duration, FileTime realNow) {
    if (simulatedRightWithheld()) return false;
    const SimulatedClock was = readSimulatedClock(path);
    SimulatedClock clock;
    clock.offset = was.offset + was.slewedBy(realNow);
    if (duration > 0 && units != 0) {
        clock.slewAmount = units;
        clock.slewStart = realNow;
        clock.slewDuration = duration;
    } else {
        clock.offset += units;
    }
    return writeClock(path, clock);
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

uint64_t tickCount(uint64_t (*realTicks)()) {
    if (TickSource source = tickSource.load()) return source();
    return realTicks();
}

}  // namespace clock_file
}  // namespace tavrel::platform
