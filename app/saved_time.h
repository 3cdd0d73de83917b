// Time never goes back at the service's start: the service keeps the time
// it last knew in "LastTime.txt" and, on a machine whose clock starts
// behind it (a board without a battery-backed clock boots at the time its
// image was made), steps the clock forward to it before its first sync.
// The window program and "/q" leave the clock alone at their start: they
// run on machines whose user sees the clock.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/time.h"

namespace tavrel {

// A saved time later than this after the program was built is not
// believed: a clock that was far in the future when it wrote the file must
// not drag the clock there.
inline constexpr int kSavedTimeYearsAfterBuild = 10;
// The day the program was built (its compiler's date, UTC midnight).
platform::FileTime programBuildTime();

enum class SavedTimeStart {
    NoFile,          // nothing saved yet
    Ignored,         // the file holds no time, or one too far ahead (logged)
    ClockNotBehind,  // the clock reads the saved time or later: left alone
    SteppedForward,  // the clock was behind and was stepped to the saved time (logged)
    StepRefused,     // it was behind, and the system refused the step (logged)
};
// Before the first sync: a clock reading earlier than the saved time is
// stepped forward to it, never back, and counts as unsynchronised (a step
// to a remembered time vouches for nothing): the log says "Clock was behind
// the last saved time; stepped forward by 259200.00000 s".
SavedTimeStart stepForwardToSavedTime(platform::FileTime builtAt = programBuildTime());

// Writes the clock's time into "LastTime.txt": after each good Correct or
// Check, at most once an hour otherwise while the service runs, and as it
// stops. Any thread.
class SavedTimeKeeper {
public:
    // Writes now.
    void save();
    // Writes when the last write is an hour old (or there was none).
    void saveWhenDue();

private:
    std::atomic<uint64_t> savedTick_{0};  // tick count of the last write
    std::atomic<bool> saved_{false};
};

}  // namespace tavrel
