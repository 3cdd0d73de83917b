// The clock helper: the one change a window program without the right to
// set the clock asks of a privileged copy of the program, and what came of
// asking. The window runs `<elevator> <program> --apply-clock-change step|slew
// <seconds>`; the copy started so applies that one relative change and ends
// (app/clock_helper.cpp). Only the clock change runs with more rights, never
// the window.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

// The first argument that selects the helper; the policy that lets pkexec
// run it names the same argument.
inline constexpr char kClockHelperSwitch[] = "--apply-clock-change";

enum class ClockChangeKind { Step, Slew };

// One relative change of the clock, in 100-ns units.
struct ClockChange {
    ClockChangeKind kind = ClockChangeKind::Step;
    int64_t units = 0;
};

// The largest change the helper makes. A step: the span of the TIME
// protocol's 32-bit seconds (about 136 years), beyond which no reply of any
// server can move the clock. A slew: what a Correct slews at most (half a
// second); a larger one is a step.
inline constexpr int64_t kLargestHelperStepUnits = (int64_t{1} << 32) * 10'000'000;
inline constexpr int64_t kLargestHelperSlewUnits = 5'000'000;

// The helper's arguments after the program's own name: the switch, "step"
// or "slew", and the change in seconds. Exact, whatever the locale.
std::vector<std::string> clockHelperArguments(const ClockChange& change);
// A signed count of 100-ns units as decimal seconds, exact ("-1.5", "0.0000001").
std::string clockChangeSeconds(int64_t units);

// Reads the helper's arguments (those after the switch): the kind, then
// the seconds, nothing else. The seconds are an optional sign, digits, and
// at most seven decimals after a point: no exponent, no NaN or infinity, no
// blanks, and at most the kind's largest change. False with the reason in
// `why` for anything else.
[[nodiscard]] bool parseClockHelperArguments(const std::vector<std::string_view>& args, ClockChange& change,
                                             std::string& why);

// Applies the change through the platform's clock calls; false when the
// system refused it.
[[nodiscard]] bool applyClockChange(const ClockChange& change);

// The helper's exit statuses; 126 and 127 are pkexec's own (the prompt
// dismissed; not authorised or an error of its own).
inline constexpr int kHelperApplied = 0;
inline constexpr int kHelperArgumentsRefused = 2;
inline constexpr int kHelperClockRefused = 3;
inline constexpr int kHelperSimulatedClockRefused = 4;
inline constexpr int kElevatorDismissed = 126;
inline constexpr int kElevatorNotAuthorised = 127;

enum class ClockHelperOutcome {
    Applied,        // the helper changed the clock
    Refused,        // the helper ran and refused the change, or the system refused it
    NotFound,       // the elevator or the program could not be started
    Dismissed,      // the user dismissed the prompt
    NotAuthorised,  // the elevator was not given the right
};
// What an exit status of `<elevator> <program> ...` says; -1: it could not
// be started.
ClockHelperOutcome clockHelperOutcomeOf(int exitStatus);
// The outcome as the status line and the log give it when the clock was not
// set ("the request was dismissed"); empty for Applied.
std::string clockHelperFailureText(ClockHelperOutcome outcome);

// Runs the program given (full path) as the helper through the elevator
// (TAVREL_ELEVATOR, else pkexec) and waits for it.
ClockHelperOutcome changeClockThroughHelper(const std::string& program, const ClockChange& change);

}  // namespace tavrel
