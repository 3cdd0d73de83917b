#include "engine/clock_helper.h"

#include "platform/process.h"
#include "platform/time.h"

namespace tavrel {
namespace {

constexpr char kStep[] = "step";
constexpr char kSlew[] = "slew";
// Decimals of a second a 100-ns unit takes.
constexpr size_t kDecimals = 7;
constexpr int64_t kUnitsPerSecond = static_cast<int64_t>(platform::kFileTimeUnitsPerSecond);

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string clockChangeSeconds(int64_t units) {
    const bool negative = units < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
    std::string text = negative ? "-" : "";
    text += std::to_string(magnitude / platform::kFileTimeUnitsPerSecond);
    std::string fraction = std::to_string(magnitude % platform::kFileTimeUnitsPerSecond);
    fraction.insert(0, kDecimals - fraction.size(), '0');
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    if (!fraction.empty()) text += "." + fraction;
    return text;
}

std::vector<std::string> clockHelperArguments(const ClockChange& change) {
    return {kClockHelperSwitch, change.kind == ClockChangeKind::Slew ? kSlew : kStep, clockChangeSeconds(change.units)};
}

bool parseClockHelperArguments(const std::vector<std::string_view>& args, ClockChange& change, std::string& why) {
    if (args.size() != 2) {
        why = "expected two arguments, step or slew and the change in seconds";
        return false;
    }
    ClockChangeKind kind = ClockChangeKind::Step;
    if (args[0] == kStep) {
        kind = ClockChangeKind::Step;
    } else if (args[0] == kSlew) {
        kind = ClockChangeKind::Slew;
    } else {
        why = "the first argument must be step or slew";
        return false;
    }
    const std::string_view text = args[1];
    why = "the change must be seconds written as [-]digits[.digits], at most seven decimals";
    size_t at = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) ++at;
    // Whole seconds: digits, counted without overflowing (the bound below
    // is far inside int64_t; a longer run of digits is refused at once).
    int64_t magnitude = 0;
    const size_t wholeStart = at;
    while (at < text.size() && isDigit(text[at])) {
        if (__builtin_mul_overflow(magnitude, int64_t{10}, &magnitude) ||
            __builtin_add_overflow(magnitude, int64_t{text[at] - '0'}, &magnitude) ||
            magnitude > kLargestHelperStepUnits / kUnitsPerSecond) {
            why = "the change is larger than the helper makes";
            return false;
        }
        ++at;
    }
    if (at == wholeStart) return false;
    magnitude *= kUnitsPerSecond;
    if (at < text.size() && text[at] == '.') {
        ++at;
        const size_t fractionStart = at;
        int64_t scale = kUnitsPerSecond;
        while (at < text.size() && isDigit(text[at])) {
            if (at - fractionStart == kDecimals) return false;
            scale /= 10;
            magnitude += (text[at] - '0') * scale;
            ++at;
        }
        if (at == fractionStart) return false;
    }
    if (at != text.size()) return false;
    const int64_t largest = kind == ClockChangeKind::Slew ? kLargestHelperSlewUnits : kLargestHelperStepUnits;
    if (magnitude > largest) {
        why = kind == ClockChangeKind::Slew ? "a slew is at most 0.5 seconds; a larger change is a step"
                                                   : "the change is larger than the helper makes";
        return false;
    }
    change.kind = kind;
    change.units = negative ? -magnitude : magnitude;
    why.clear();
    return true;
}

bool applyClockChange(const ClockChange& change) {
    return change.kind == ClockChangeKind::Slew ? platform::slewSystemClock(change.units)
                                                : platform::stepSystemClock(change.units);
}

ClockHelperOutcome clockHelperOutcomeOf(int exitStatus) {
    switch (exitStatus) {
        case kHelperApplied: return ClockHelperOutcome::Applied;
        case -1: return ClockHelperOutcome::NotFound;
        case kElevatorDismissed: return ClockHelperOutcome::Dismissed;
        case kElevatorNotAuthorised: return ClockHelperOutcome::NotAuthorised;
        default: return ClockHelperOutcome::Refused;
    }
}

std::string clockHelperFailureText(ClockHelperOutcome outcome) {
    switch (outcome) {
        case ClockHelperOutcome::Applied: return {};
        case ClockHelperOutcome::Refused: return "the change was refused";
        case ClockHelperOutcome::NotFound: return "pkexec could not be started";
        case ClockHelperOutcome::Dismissed: return "the request was dismissed";
        case ClockHelperOutcome::NotAuthorised: return "permission was not given";
    }
    return {};
}

ClockHelperOutcome changeClockThroughHelper(const std::string& program, const ClockChange& change) {
    if (program.empty()) return ClockHelperOutcome::NotFound;
    std::vector<std::string> args{program};
    for (std::string& a : clockHelperArguments(change)) args.push_back(std::move(a));
    return clockHelperOutcomeOf(platform::runElevated(args));
}

}  // namespace tavrel
