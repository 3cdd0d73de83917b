// Turns an accepted reply into a new clock value (user offset, minutes-only
// rule), sets the clock for a Correct or only shows the server's clock for a
// Check, and writes the operation's log line.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/time.h"

namespace tavrel {

// 1 while the window shows the server's clock, advanced by the supervisor.
extern std::atomic<int32_t> serverClockRunning;
// Tick count up to which serverClock has been advanced.
extern std::atomic<uint32_t> serverClockTick;

inline constexpr int kCheckMode = 0;
inline constexpr int kCorrectMode = 1;
// Seconds of SNTP offset beyond which the whole-second route is used.
inline constexpr int64_t kLargestSntpOffset = 1'500'000;

// Corrects (mode 1) or checks (mode 0) from the finished query's results.
// A clock that cannot be set sets queryFailed.
void correctClock(int mode);

enum class DifferenceForm { Log = 0, Status = 1, Check = 2 };
// "Time Corrected by 0.12345 Scs in 120 ms" and its log and check forms.
std::string formatDifference(DifferenceForm form);

// The signed 32.32 figure as the result texts write it: whole seconds, "."
// and five decimals; a figure between -1 and 0 reads "- 0.xxxxx".
std::string formatOffsetFigure(int64_t offset);

// The pieces of the computation, free of the clock and the settings.
// The whole-second route: the server's seconds plus the time since the
// reply in whole seconds reckoned as milliseconds / 1024.
platform::FileTime wholeSecondClock(uint32_t wireSeconds, uint32_t msSinceReply);
// The user's fixed offset in FILETIME units (0..99 seconds, minutes or hours).
int64_t userOffsetUnits(uint32_t amount, int32_t multiplier);
// Keeps the minute, second and millisecond of `corrected` and takes the
// hour and date that put the result nearest to `now`.
platform::FileTime minorOnlyClock(platform::FileTime corrected, platform::FileTime now);

}  // namespace tavrel
