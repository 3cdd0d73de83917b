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

// The simulated clock's offset; a missing or unreadable file means 0.
int64_t readClockOffset(const char* path) {
    std::string text;
    if (!readSmallFile(path, text, 64)) return 0;
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str()) return 0;
    return value;
}

}  // namespace

void setWallClockSource(WallClockSource source) { wallClockSource.store(source); }
void setTickSource(TickSource source) { tickSource.store(source); }

bool simulatedClockActive() { return clock_file::simulatedClockPath() != nullptr; }

namespace clock_file {

const char* simulatedClockPath() {
    const char* path = std::getenv("TAVREL_CLOCK_FILE");
    return (path != nullptr && *path != '\0') ? path : nullptr;
}

FileTime wallClock(FileTime (*realUtcNow)()) {
    if (WallClockSource source = wallClockSource.load()) return source();
    FileTime now = realUtcNow();
    if (const char* path = simulatedClockPath()) now += static_cast<FileTime>(readClockOffset(path));
    return now;
}

bool wallClockIsReal() { return wallClockSource.load() == nullptr && simulatedClockPath() == nullptr; }

bool setSimulatedClock(const char* path, FileTime utc, FileTime realNow) {
    const int64_t offset = static_cast<int64_t>(utc - realNow);
    return writeFileReplacing(path, std::to_string(offset) + "\n");
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
