#include "engine/clock_correction.h"

#include <cstdlib>
#include <limits>

#include "engine/clock_helper.h"
#include "platform/system_events.h"
#include "protocol/time_protocol.h"
#include "storage/data_directory.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/string_slots.h"
#include "storage/strings.h"

namespace tavrel {
namespace {

// FILETIME units per 1/100,000 s, for the five decimals.
constexpr uint64_t kUnitsPerDecimal = 100;
constexpr char kOldTimePicture[] = "HH:mm:ss";
constexpr platform::FileTime kHour = 3600 * platform::kFileTimeUnitsPerSecond;
constexpr char kSlewing[] = "Slewing";

bool logAllowed(const FlagWord& category) { return !settings.logDisabled.load() && category.load(); }

platform::FileTime localOf(platform::FileTime utc) {
    platform::FileTime local = utc;
    (void)platform::fileTimeToLocalFileTime(utc, local);
    return local;
}

int64_t saturatingAdd(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    }
    return sum;
}

// The user's fixed offset as applied: added, or subtracted.
int64_t appliedUserOffset() {
    const int64_t shift = userOffsetUnits(settings.offsetAmount.load(), settings.offsetMultiplier.load());
    return settings.offsetDirection.load() == OffsetDirection::Subtract ? -shift : shift;
}

int64_t signedDifference(platform::FileTime to, platform::FileTime from) {
    return to >= from ? static_cast<int64_t>(to - from) : -static_cast<int64_t>(from - to);
}

// What the clock read before a Correct, as the log gives it.
std::string oldTimeText(platform::FileTime utc) {
    platform::SystemTime local{};
    if (!platform::fileTimeToSystemTime(localOf(utc), local)) return {};
    return platform::formatTime(local, kOldTimePicture);
}

// A slew's duration in whole seconds, rounded up ("400 s").
std::string slewTimeText(uint64_t ms) { return std::to_string((ms + 999) / 1000) + " s"; }

}  // namespace

platform::FileTime wholeSecondClock(uint32_t wireSeconds, uint32_t msSinceReply) {
    return wireSecondsToFileTime(wireSeconds) + static_cast<platform::FileTime>(msSinceReply) * platform::kFileTimeUnitsPerMs;
}

int64_t userOffsetUnits(uint32_t amount, OffsetUnit unit) {
    return static_cast<int64_t>(amount) * offsetUnitLength(unit).count() *
           static_cast<int64_t>(platform::kFileTimeUnitsPerSecond);
}

platform::FileTime minorOnlyClock(platform::FileTime corrected, platform::FileTime now) {
    // The server's minutes and seconds in the clock's own hour, the hour
    // before or the hour after, whichever is nearest the clock: `corrected`
    // moved by the whole number of hours nearest their difference.
    const int64_t apart = signedDifference(now, corrected);
    const int64_t half = static_cast<int64_t>(kHour / 2);
    const int64_t hours = (apart >= 0 ? apart + half : apart - half) / static_cast<int64_t>(kHour);
    return corrected + static_cast<platform::FileTime>(hours * static_cast<int64_t>(kHour));
}

std::string formatSecondsFigure(int64_t units) {
    const bool negative = units < 0;
    // The magnitude, taken without overflowing at the most negative value.
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
    const uint64_t whole = magnitude / platform::kFileTimeUnitsPerSecond;
    const uint64_t decimals = magnitude % platform::kFileTimeUnitsPerSecond / kUnitsPerDecimal;
    std::string text = negative ? (whole == 0 ? "- " : "-") : "";
    text += std::to_string(whole);
    const std::string digits = std::to_string(decimals);
    text += ".";
    text += std::string(5 - digits.size(), '0') + digits;
    return text;
}

std::string formatDifference(DifferenceForm form, const Difference& difference) {
    std::string text = slot(form == DifferenceForm::Check ? kSlotDifferenceFound : kSlotTimeCorrected);
    if (difference.measured && difference.units != 0 &&
        (form != DifferenceForm::Log || settings.logCorrection.load())) {
        text += slot(form == DifferenceForm::Check ? kSlotAs : kSlotBy);
        text += formatSecondsFigure(difference.units);
        text += slot(kSlotSecondsSuffix);
    }
    if (settings.logResponse.load() || form == DifferenceForm::Status) {
        text += slot(kSlotIn);
        text += std::to_string(difference.responseMs);
        text += " ms";
    }
    return text;
}

std::string clockNotSetText(const std::string& reason) { return "Clock not set: " + reason; }

Correction correctClock(CorrectionMode mode, const QueryResult& reply, bool sntp, bool& forceTimeProtocol,
                        std::string_view server, ClockRoute route, SlewUse slewUse) {
    Correction out;
    out.difference.measured = reply.offsetMeasured;
    out.difference.responseMs = reply.responseMs;
    constexpr int64_t kLargestUnits = kLargestSntpOffset * static_cast<int64_t>(platform::kFileTimeUnitsPerSecond);
    // An NTS reply whose own time vouched for its certificate is what mends
    // a clock far off: its authenticated offset is applied as measured.
    if (sntp && !forceTimeProtocol && !reply.certificateCheckedByServer &&
        (reply.offsetUnits > kLargestUnits || reply.offsetUnits < -kLargestUnits)) {
        forceTimeProtocol = true;
    }

    // The clock is read once: the change is worked out from this reading
    // and applied relative to the clock as it then stands, so nothing
    // between the two readings ends up in the change.
    const platform::FileTime before = platform::getSystemTimeAsFileTime();
    platform::FileTime corrected = 0;
    if (sntp && (mode == CorrectionMode::Check || forceTimeProtocol)) {
        const uint32_t now = platform::getTickCount();
        out.serverClockTick = now;
        corrected = wholeSecondClock(reply.serverSeconds, now - reply.replyTick);
    } else {
        // TIME's estimate of the server's clock, or SNTP's measured offset,
        // carried forward on this computer's clock.
        corrected = before + static_cast<platform::FileTime>(reply.offsetUnits);
        out.serverClockTick = platform::getTickCount();
    }

    if (mode == CorrectionMode::Check) {
        out.serverClock = localOf(corrected);
        out.difference.units = saturatingAdd(reply.offsetUnits, appliedUserOffset());
        out.outcome = slot(kSlotTimeChecked) + ", " + formatDifference(DifferenceForm::Check, out.difference) +
                      slot(kSlotServerUsedWas) + std::string(server);
        out.summary = out.outcome;
        if (logAllowed(settings.logChecks)) logLine(out.outcome);
        return out;
    }

    // Correct: the user's offset moves the clock but not the server's clock.
    const int64_t userOffset = appliedUserOffset();
    if (userOffset != 0) {
        corrected += static_cast<platform::FileTime>(userOffset);
    } else {
        out.serverClock = localOf(corrected);
    }
    if (settings.minorOnly.load()) corrected = minorOnlyClock(corrected, before);
    const int64_t change = signedDifference(corrected, before);
    // A small change is slewed where the user allows it: the clock runs a
    // little fast or slow until it is right, and never jumps, least of all
    // backwards; a larger one is stepped.
    const bool slew = slewUse == SlewUse::AsSettingsSay && !settings.slewDisabled.load() &&
                      change > -kLargestSlewUnits && change < kLargestSlewUnits;
    // The change is relative, so the time a helper's prompt takes does not
    // end up in it.
    std::string notSetReason;
    if (route == ClockRoute::Helper) {
        // The helper is another process, but its step is this program's.
        if (!slew) platform::noteOwnClockStep(change);
        const ClockHelperOutcome helped = changeClockThroughHelper(
            programFile(), ClockChange{slew ? ClockChangeKind::Slew : ClockChangeKind::Step, change});
        out.clockSet = helped == ClockHelperOutcome::Applied;
        if (!slew && !out.clockSet) platform::noteOwnClockStep(-change);
        notSetReason = clockHelperFailureText(helped);
    } else {
        out.clockSet = slew ? platform::slewSystemClock(change) : platform::stepSystemClock(change);
    }
    if (out.clockSet && slew) out.slewMs = platform::slewDurationMs(change);
    const std::string oldTime = oldTimeText(before);
    // Set to the server's time (not kept off it on purpose): the system is
    // told the clock is synchronised, with half the round trip (and TIME's
    // whole seconds) as its error, as time daemons do; while a slew runs,
    // what it has still to make up counts too.
    // (Not through the helper, which changes the clock and nothing else.)
    if (out.clockSet && route == ClockRoute::Direct && userOffset == 0 && !settings.minorOnly.load()) {
        uint64_t errorUs = uint64_t{reply.responseMs} * 500 + (sntp && reply.offsetMeasured ? 0 : 1'000'000);
        if (slew) errorUs += static_cast<uint64_t>(change < 0 ? -change : change) / 10;
        (void)platform::markClockSynchronised(errorUs + kSystemErrorMarginUs, errorUs);
        // A leap second the server announced for the end of the day is the
        // kernel's to make (or none, when none is announced any more).
        (void)platform::setLeapPending(reply.leap == 1   ? platform::LeapState::Insert
                                       : reply.leap == 2 ? platform::LeapState::Delete
                                                         : platform::LeapState::None);
    }
    out.difference.units = change;
    out.serverClockTick = platform::getTickCount();
    if (userOffset == 0) out.serverClock = localOf(before + static_cast<platform::FileTime>(change));

    if (!out.clockSet) {
        out.outcome = notSetReason.empty() ? slot(kSlotErrorSettingTime) : clockNotSetText(notSetReason);
        out.summary = out.outcome;
        if (logAllowed(settings.logErrors)) logLine(out.outcome, LogLevel::Warning);
        return out;
    }
    // A slew says so, and how long it takes, where a step says "Tavreled".
    const std::string done =
        out.slewMs > 0 ? std::string(kSlewing) + " over " + slewTimeText(out.slewMs) : slot(kSlotTavreled);
    out.outcome = done;
    if (settings.logOldTime.load()) out.outcome += slot(kSlotOldTimeWas) + oldTime;
    if (settings.logResponse.load() || settings.logCorrection.load()) {
        out.outcome += ", " + formatDifference(DifferenceForm::Log, out.difference);
    }
    out.outcome += slot(kSlotServerUsedWas) + std::string(server);
    out.summary = done + ", " + formatDifference(DifferenceForm::Status, out.difference) +
                  slot(kSlotServerUsedWas) + std::string(server);
    if (logAllowed(settings.logSyncs)) logLine(out.outcome);
    return out;
}

void finishSlewAtExit() {
    const platform::SlewAtExit finished = platform::finishSlewBeforeExit();
    if (!finished.slewing) return;
    const std::string rest = formatSecondsFigure(finished.restUnits) + " s not yet slewed";
    if (finished.stepped) {
        if (logAllowed(settings.logSyncs)) logLine("Exit during a slew: stepped the " + rest);
    } else if (logAllowed(settings.logErrors)) {
        logLine("Exit during a slew: the normal clock rate is back, but the " + rest + " could not be stepped",
                LogLevel::Warning);
    }
}

bool clockKnownGood(ClockStanding standing) {
    const platform::ClockSyncState system = platform::clockSyncState();
    standing.systemSynchronised = system.synchronised;
    standing.systemMaxErrorUs = system.maxErrorUs;
    return servedClockAt(standing, platform::getSystemTimeAsFileTime()).synchronised;
}

std::string clockErrorText(int64_t offsetUnits) {
    struct Unit {
        const char* name;
        uint64_t seconds;
    };
    // A year of 365.25 days, as the calendar averages it.
    static constexpr Unit units[] = {{"year", 31'557'600}, {"day", 86'400}, {"hour", 3600}, {"minute", 60},
                                     {"second", 1}};
    const char* side = offsetUnits >= 0 ? " behind" : " ahead";
    const uint64_t magnitude =
        offsetUnits >= 0 ? static_cast<uint64_t>(offsetUnits) : uint64_t{0} - static_cast<uint64_t>(offsetUnits);
    for (const Unit& unit : units) {
        const uint64_t unitUnits = unit.seconds * platform::kFileTimeUnitsPerSecond;
        if (magnitude < unitUnits) continue;
        const uint64_t count = (magnitude + unitUnits / 2) / unitUnits;
        return std::to_string(count) + " " + unit.name + (count == 1 ? "" : "s") + side;
    }
    return std::string("less than a second") + side;
}

std::string certificateCheckedLine(int64_t offsetUnits) {
    return "certificate checked against the server's time: the clock was " + clockErrorText(offsetUnits);
}

}  // namespace tavrel
