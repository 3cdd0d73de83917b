// The AutoSync/AutoCheck countdown: which event comes next and when, and the
// text that shows the time left ("3 Hrs 20 Mns until AutoSync").
#pragma once

#include <cstdint>
#include <string>

namespace tavrel {

enum class AutoKind : int32_t { None = 0, Check = 1, Sync = 2 };

// The next automatic event and the tick count (64-bit ms) it is due at.
struct Countdown {
    AutoKind kind = AutoKind::None;
    uint64_t dueTick = 0;
};

// What the AutoTimer starts its operations on (the engine).
class AutoTimerTarget {
public:
    virtual ~AutoTimerTarget() = default;
    // An operation or a server scan runs (or is about to).
    virtual bool operationOrScanRunning() const = 0;
    // Starts a Correct (sync true) or a Check; false when one runs already.
    virtual bool requestAutoOperation(bool sync) = 0;
    // The next event, for the countdown.
    virtual void setCountdown(Countdown countdown) = 0;
};

struct CountdownText {
    std::string text;
    bool showsSeconds = false;  // the text may change every second: redraw it on every pass
};

// The two largest non-zero units of a time ("3 Hrs 20 Mns", "45 Scs");
// seconds only when fewer than two larger units show; nothing left reads
// "0 Scs".
CountdownText formatDuration(int64_t ms);

// The two largest non-zero units of the time left, then " until AutoSync"
// or " until AutoCheck"; seconds only when fewer than two larger units show.
// An overdue event reads "0 Scs".
CountdownText formatCountdown(AutoKind kind, int64_t leftMs);

}  // namespace tavrel
