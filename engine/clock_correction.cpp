#include "engine/clock_correction.h"

#include <cmath>
#include <limits>

#include "engine/operation.h"
#include "engine/time_query.h"
#include "protocol/time_protocol.h"
#include "servers/server_list.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "storage/string_slots.h"

namespace tavrel {

std::atomic<int32_t> serverClockRunning{0};
std::atomic<uint32_t> serverClockTick{0};

namespace {

constexpr int kSlotTimeCorrected = 94;
constexpr int kSlotTavreled = 107;
constexpr int kSlotOldTimeWas = 108;
constexpr int kSlotServerUsedWas = 109;
constexpr int kSlotDifferenceFound = 181;
constexpr int kSlotBy = 190;
constexpr int kSlotAs = 209;
constexpr int kSlotIn = 210;
// Fraction units (2^-32 s) per 1/100,000 s, for the five decimals.
constexpr uint32_t kFractionPerDecimal = 42'950;
constexpr char kOldTimePicture[] = "HH:mm:ss";
constexpr platform::FileTime kHour = 3600 * platform::kFileTimeUnitsPerSecond;

bool logAllowed(const Word<int32_t>& category) {
    return settings.logDisabled.load() == 0 && category.load() != 0;
}

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

// The figure the texts show: the measured difference, and with a user
// offset the difference plus that offset as applied (added or subtracted),
// which is how far the correction moved the clock.
int64_t shownOffset() {
    const int64_t measured = measuredOffset.load();
    const uint32_t amount = settings.offsetAmount.load();
    if (amount == 0) return measured;
    const int64_t seconds = userOffsetUnits(amount, settings.offsetMultiplier.load()) /
                            static_cast<int64_t>(platform::kFileTimeUnitsPerSecond);
    const int64_t user = seconds * (int64_t{1} << 32);
    return saturatingAdd(measured, settings.offsetDirection.load() == 1 ? -user : user);
}

}  // namespace

platform::FileTime wholeSecondClock(uint32_t wireSeconds, uint32_t msSinceReply) {
    return platform::kFileTime1900 +
           (wireSecondsSince1900(wireSeconds) + (msSinceReply >> 10)) * platform::kFileTimeUnitsPerSecond;
}

int64_t userOffsetUnits(uint32_t amount, int32_t multiplier) {
    const int64_t unit = multiplier == 0 ? 1 : multiplier == 2 ? 3600 : 60;
    return static_cast<int64_t>(amount) * unit * static_cast<int64_t>(platform::kFileTimeUnitsPerSecond);
}

platform::FileTime minorOnlyClock(platform::FileTime corrected, platform::FileTime now) {
    const platform::FileTime sameHour = now - now % kHour + corrected % kHour;
    auto distance = [now](platform::FileTime t) { return t > now ? t - now : now - t; };
    platform::FileTime best = sameHour;
    if (distance(sameHour + kHour) < distance(best)) best = sameHour + kHour;
    if (sameHour >= kHour && distance(sameHour - kHour) < distance(best)) best = sameHour - kHour;
    return best;
}

std::string formatOffsetFigure(int64_t offset) {
    const int32_t seconds = static_cast<int32_t>(offset >> 32);
    uint32_t fraction = static_cast<uint32_t>(offset);
    std::string text;
    int64_t whole = seconds;
    if (seconds < 0) {
        // -4.5 s is -5 + 0.5 in 32.32; it reads -4 and the complement of the fraction.
        if (seconds == -1) text += "- ";
        whole = static_cast<int64_t>(seconds) + 1;
        fraction = ~fraction;
    }
    text += std::to_string(whole);
    std::string decimals = std::to_string(fraction / kFractionPerDecimal);
    text += ".";
    text += std::string(5 - decimals.size(), '0') + decimals;
    return text;
}

std::string formatDifference(DifferenceForm form) {
    std::string text = slot(form == DifferenceForm::Check ? kSlotDifferenceFound : kSlotTimeCorrected);
    if (measuredOffset.load() != 0 && (form != DifferenceForm::Log || settings.logCorrection.load() != 0)) {
        text += slot(form == DifferenceForm::Check ? kSlotAs : kSlotBy);
        text += formatOffsetFigure(shownOffset());
        text += slot(kSlotSecondsSuffix);
    }
    if (settings.logResponse.load() != 0 || form == DifferenceForm::Status) {
        text += slot(kSlotIn);
        text += std::to_string(responseMs.load());
        text += " ms";
    }
    return text;
}

void correctClock(int mode) {
    serverClockRunning.store(0);
    const int32_t configured = settings.protocol.load();
    const int32_t protocol = configured == 2 ? autoProtocolChoice.load() : configured;
    if (protocol == 1 && settings.forceTimeProtocol.load() == 0 &&
        std::llabs(static_cast<long long>(offsetSeconds())) > kLargestSntpOffset) {
        settings.forceTimeProtocol.store(1);
    }

    platform::FileTime corrected = 0;
    if (protocol == 0 || correctMode.load() == 0 || settings.forceTimeProtocol.load() != 0) {
        const uint32_t now = platform::getTickCount();
        serverClockTick.store(now);
        corrected = wholeSecondClock(serverSeconds.load(), now - replyTick.load());
    } else {
        const long double shift = static_cast<long double>(measuredOffset.load()) / kFractionPerFileTimeUnit;
        // nearbyint rounds to nearest, ties to even.
        corrected = platform::getSystemTimeAsFileTime() +
                    static_cast<platform::FileTime>(static_cast<int64_t>(std::nearbyintl(shift)));
    }

    if (correctMode.load() != 0) {
        const uint32_t amount = settings.offsetAmount.load();
        if (amount != 0) {
            const int64_t shift = userOffsetUnits(amount, settings.offsetMultiplier.load());
            corrected += static_cast<platform::FileTime>(settings.offsetDirection.load() == 1 ? -shift : shift);
        } else {
            settings.serverClock.store(localOf(corrected));
            serverClockRunning.store(1);
        }
    } else {
        settings.serverClock.store(localOf(corrected));
        serverClockRunning.store(1);
    }

    if (mode == kCorrectMode) {
        if (settings.minorOnly.load() != 0) corrected = minorOnlyClock(corrected, platform::getSystemTimeAsFileTime());
        const std::string oldTime = platform::formatTime(platform::getLocalTime(), kOldTimePicture);
        const bool set = platform::setSystemFileTime(corrected);
        if (!set) queryFailed.store(1);
        serverClockTick.store(platform::getTickCount());
        if (settings.offsetAmount.load() == 0) settings.serverClock.store(localOf(platform::getSystemTimeAsFileTime()));
        correctMode.store(0);
        serverClockRunning.store(1);

        if (!set) {
            if (logAllowed(settings.logErrors)) logLine(slot(kSlotErrorSettingTime));
        } else if (logAllowed(settings.logSyncs)) {
            std::string line = slot(kSlotTavreled);
            if (settings.logOldTime.load() != 0) line += slot(kSlotOldTimeWas) + oldTime;
            if (settings.logResponse.load() != 0 || settings.logCorrection.load() != 0) {
                line += ", " + formatDifference(DifferenceForm::Log);
            }
            line += slot(kSlotServerUsedWas) + currentServerName();
            logLine(line);
        }
    } else if (logAllowed(settings.logChecks)) {
        logLine(slot(kSlotTimeChecked) + ", " + formatDifference(DifferenceForm::Check) + slot(kSlotServerUsedWas) +
                currentServerName());
    }
}

}  // namespace tavrel
