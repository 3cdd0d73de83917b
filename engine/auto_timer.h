// AutoSync and AutoCheck: one timer armed for whichever of the two
// periodic operations falls due first. The AutoTimer lives on the window
// thread (the timer fires there, and the Options sheet and the menu change
// it there); the timer and the messages are the window's, reached through
// the host. It publishes its next event to the engine, whose idle display
// shows the countdown. Periods are reckoned in 64-bit milliseconds, so
// "every 99 Days" means 99 days; a period longer than one timer can hold is
// armed in steps.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "engine/countdown.h"

namespace tavrel {

// The longest single arming of the timer.
inline constexpr uint32_t kLongestTimerStepMs = 2'000'000'000;

// What the AutoTimer needs of the window it runs on: its one timer, whose
// firing the window hands to AutoTimer::fired, and a message to the user.
// The main window implements it.
class AutoTimerHost {
public:
    virtual ~AutoTimerHost() = default;
    // Arms the timer to fire every ms milliseconds (replacing an earlier
    // arming) until it is killed.
    virtual void setAutoTimer(uint32_t ms) = 0;
    virtual void killAutoTimer() = 0;
    // Shows a message and returns once the user has read it.
    virtual void showMessage(std::string_view text, std::string_view caption) = 0;
};

class AutoTimer {
public:
    AutoTimer(AutoTimerTarget& engine, AutoTimerHost& host) : engine_(engine), host_(host) {}

    // Arms the timer for the next event. Each enabled event keeps its due
    // time; when both fall due together AutoSync comes first.
    void arm();
    // The timer fired: starts the due operation (AutoSync when both are due:
    // its Correct also reports the difference, so AutoCheck's period starts
    // again too), or postpones it by 30 s while an operation or scan runs.
    void fired();
    // The "Reset Auto Timers" command: both periods start again from now.
    void reset();
    // The Options sheet's Reset buttons: that event's period starts again at
    // the next arming.
    void restartPeriod(AutoKind which);
    // The Auto page was saved: arms, re-arms or stops the timer to match. A
    // changed period takes effect at once, counted from that period's start
    // (an event already past its new period runs now), so the countdown
    // never announces an event the timer will not start.
    void settingsChanged();

    // The machine woke: the window's timer counts no sleep, so an event
    // that fell due meanwhile starts now (as fired() would start it) and
    // the timer is armed again for what is left of the other.
    void resumed();
    // Another program set the clock: AutoCheck, when on, falls due at once
    // (within the shortest arming), as if its period had just ended.
    void checkNow();

    // The event armed next (None when the timer is off).
    AutoKind armed() const { return countdown_.kind; }
    Countdown countdown() const { return countdown_; }

private:
    void disarm();
    void setTimerFor(int64_t ms);
    void publish(Countdown countdown);
    // A period of the settings; one shorter than a minute says so and counts
    // as a minute.
    uint64_t period(std::chrono::milliseconds set);
    uint64_t syncPeriod();
    uint64_t checkPeriod();

    AutoTimerTarget& engine_;
    AutoTimerHost& host_;
    // Tick counts (64-bit ms) at which the current periods began; 0: at the
    // next arming.
    uint64_t syncStart_ = 0;
    uint64_t checkStart_ = 0;
    // A Check asked for at once (checkNow): due whatever its period says. A
    // start moved a period back cannot say so on a machine up for less than
    // one period, whose tick count is smaller than the period.
    bool checkAskedNow_ = false;
    Countdown countdown_;
};

}  // namespace tavrel
