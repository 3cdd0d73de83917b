// AutoSync and AutoCheck: one window timer (id 10) armed for whichever of
// the two periodic operations falls due first. The AutoTimer lives on the
// window thread (the timer fires there, and the Options sheet and the menu
// change it there); it publishes its next event to the engine, whose idle
// display shows the countdown. Periods are reckoned in 64-bit milliseconds,
// so "every 99 Days" means 99 days; a period longer than one timer can hold
// is armed in steps.
#pragma once

#include <cstdint>

#include "engine/countdown.h"
#include "gui/dialog.h"

namespace tavrel {

inline constexpr int kAutoTimerId = 10;
// The longest single arming of the window timer.
inline constexpr uint32_t kLongestTimerStepMs = 2'000'000'000;

class AutoTimer {
public:
    explicit AutoTimer(AutoTimerTarget& engine) : engine_(engine) {}

    // Sets timer 10 of the window for the next event. Each enabled event
    // keeps its due time; when both fall due together AutoSync comes first.
    void arm(gui::WindowHandle window);
    // Timer 10 fired: starts the due operation (AutoSync when both are due:
    // its Correct also reports the difference, so AutoCheck's period starts
    // again too), or postpones it by 30 s while an operation or scan runs.
    void fired(gui::WindowHandle window);
    // The "Reset Auto Timers" command: both periods start again from now.
    void reset(gui::WindowHandle window);
    // The Options sheet's Reset buttons: that event's period starts again at
    // the next arming.
    void restartPeriod(gui::WindowHandle window, AutoKind which);
    // The enable boxes changed: arms, re-arms or stops the timer to match.
    void settingsChanged(gui::WindowHandle window);

    // The event armed next (None when the timer is off).
    AutoKind armed() const { return countdown_.kind; }
    Countdown countdown() const { return countdown_; }

private:
    void disarm(gui::WindowHandle window);
    void setTimerFor(gui::WindowHandle window, int64_t ms);
    void publish(Countdown countdown);

    AutoTimerTarget& engine_;
    // Tick counts (64-bit ms) at which the current periods began; 0: at the
    // next arming.
    uint64_t syncStart_ = 0;
    uint64_t checkStart_ = 0;
    Countdown countdown_;
};

}  // namespace tavrel
