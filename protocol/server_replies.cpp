#include "protocol/server_replies.h"

#include <algorithm>
#include <cstring>

#include "protocol/time_protocol.h"

namespace tavrel {
namespace {

constexpr uint8_t kModeClient = 3;
constexpr uint8_t kModeServer = 4;
constexpr uint8_t kOldestVersion = 1;
constexpr uint8_t kNewestVersion = 4;
// The stratum served while another daemon keeps the clock.
constexpr uint8_t kStratum = 2;
constexpr uint8_t kPoll = 6;
constexpr uint8_t kPrecision = 0xF6;  // 2^-10 s
constexpr uint8_t kStratumUnsynchronised = 16;
constexpr uint8_t kLeapAlarm = 3;
// The dispersion of an unsynchronised clock: RFC 5905's largest, 16 s.
constexpr uint32_t kMostDispersion = 16u << 16;
// A clock found further off than this is not served as synchronised.
constexpr uint64_t kKnownGoodUs = 1'000'000;
// A clock whose system bound on its error is a second or more is not
// served as synchronised.
constexpr uint64_t kSystemErrorLimitUs = 1'000'000;

// Microseconds as seconds in 16.16, capped at the largest dispersion.
uint32_t shortFormat(uint64_t us) {
    if (us >= 16'000'000) return kMostDispersion;
    const uint64_t value = (us << 16) / 1'000'000;
    return value < kMostDispersion ? static_cast<uint32_t>(value) : kMostDispersion;
}

// Two 16.16 figures added, capped at the largest dispersion.
uint32_t sum16(uint32_t a, uint32_t b) {
    const uint64_t total = uint64_t{a} + b;
    return total < kMostDispersion ? static_cast<uint32_t>(total) : kMostDispersion;
}

uint64_t magnitudeUs(int64_t units) {
    const uint64_t magnitude = units < 0 ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
    return magnitude / 10;
}

}  // namespace

uint32_t wireSecondsOf(platform::FileTime utc) {
    return static_cast<uint32_t>((utc - platform::kFileTime1900) / platform::kFileTimeUnitsPerSecond);
}

void buildTimeReply(platform::FileTime utc, uint8_t (&reply)[kTimeReplySize]) {
    writeWord(reply, wireSecondsOf(utc));
}

void writeTimestamp(uint8_t* at, platform::FileTime utc) {
    writeWord(at, wireSecondsOf(utc));
    const uint64_t units = (utc - platform::kFileTime1900) % platform::kFileTimeUnitsPerSecond;
    writeWord(at + 4, static_cast<uint32_t>((units << 32) / platform::kFileTimeUnitsPerSecond));
}

bool isSntpClientRequest(const uint8_t (&packet)[kSntpPacketSize]) {
    const uint8_t version = (packet[0] >> 3) & 0x07;
    const uint8_t mode = packet[0] & 0x07;
    return mode == kModeClient && version >= kOldestVersion && version <= kNewestVersion;
}

ServedClock servedClockAt(const ClockStanding& standing, platform::FileTime now) {
    ServedClock served;
    served.reference = standing.lastSync;
    const bool ownSyncRecent =
        standing.lastSync != 0 && standing.lastSync <= now + platform::kFileTimeUnitsPerSecond &&
        now - std::min(now, standing.lastSync) < kSynchronisedFor;
    if (ownSyncRecent) {
        // What the last correction or check found of the clock: the offset a
        // Check left, the part of a slew still to run, and half the round
        // trip. Beyond a second the clock is not known good, whatever the
        // system says.
        uint64_t foundUs = magnitudeUs(standing.offsetFound);
        if (standing.slewAmount != 0 && standing.slewEnd > now) {
            const uint64_t duration = standing.slewEnd - std::min(standing.slewEnd, standing.lastSync);
            const uint64_t left = std::min<uint64_t>(standing.slewEnd - now, duration);
            const uint64_t amountUs = magnitudeUs(standing.slewAmount);
            foundUs += duration == 0 ? amountUs : static_cast<uint64_t>(static_cast<double>(amountUs) *
                                                                        static_cast<double>(left) /
                                                                        static_cast<double>(duration));
        }
        // The round trip is counted in whole milliseconds, cut short: the
        // true one may be up to a millisecond longer, and half of that is
        // counted too, so that the bound is never less than the truth (a
        // loopback exchange counted as 0 ms still leaves half a millisecond).
        const uint64_t measuredUs = foundUs + (uint64_t{standing.lastSyncRoundTripMs} + 1) * 500;
        // The source's stratum, 1 where the protocol does not say (TIME).
        const unsigned stratum = std::max<unsigned>(standing.upstreamStratum, 1) + 1;
        if (measuredUs > kKnownGoodUs || stratum >= kStratumUnsynchronised) {
            served.rootDispersion = kMostDispersion;
            return served;
        }
        const double rate = standing.dispersionRatePpm > 0 ? std::min(standing.dispersionRatePpm, 1e6) : 0.0;
        const uint64_t since = now - std::min(now, standing.lastSync);
        const auto growthUs = static_cast<uint64_t>(static_cast<double>(since / 10) * rate / 1e6);
        served.synchronised = true;
        served.stratum = static_cast<uint8_t>(stratum);
        served.referenceId = standing.sourceReferenceId;
        served.rootDelay = sum16(standing.upstreamRootDelay, shortFormat(uint64_t{standing.lastSyncRoundTripMs} * 1000));
        served.rootDispersion =
            sum16(standing.upstreamRootDispersion,
                  shortFormat(measuredUs + uint64_t{standing.lastSyncErrorMs} * 1000 + growthUs));
        if (now < standing.leapUntil) served.leap = standing.leap;
        return served;
    }
    if (standing.systemSynchronised && !standing.steppedElsewhere && standing.systemMaxErrorUs < kSystemErrorLimitUs) {
        // Another daemon keeps the clock: the system knows how far it may be
        // off, not when it was last set, so the reference is now.
        served.synchronised = true;
        served.stratum = kStratum;
        served.reference = now;
        served.rootDispersion = shortFormat(standing.systemMaxErrorUs);
        return served;
    }
    served.rootDispersion = kMostDispersion;
    return served;
}

void buildSntpReply(uint8_t (&packet)[kSntpPacketSize], platform::FileTime received, platform::FileTime transmitted,
                    const ServedClock& clock) {
    const uint8_t version = (packet[0] >> 3) & 0x07;
    std::memcpy(packet + 24, packet + 40, 8);  // originate = the request's transmit timestamp
    const uint8_t leap = clock.synchronised ? static_cast<uint8_t>(clock.leap) : kLeapAlarm;
    packet[0] = static_cast<uint8_t>((leap << 6) | (version << 3) | kModeServer);
    packet[1] = clock.synchronised ? (clock.stratum != 0 ? clock.stratum : kStratum) : kStratumUnsynchronised;
    packet[2] = kPoll;
    packet[3] = kPrecision;
    writeWord(packet + 4, clock.rootDelay);
    writeWord(packet + 8, clock.rootDispersion);
    writeWord(packet + 12, clock.referenceId);
    if (clock.reference == 0) {
        std::memset(packet + 16, 0, 8);
    } else {
        writeTimestamp(packet + 16, clock.reference);
    }
    writeTimestamp(packet + 32, received);
    writeTimestamp(packet + 40, transmitted);
}

void buildRateKiss(uint8_t (&packet)[kSntpPacketSize], platform::FileTime received) {
    const uint8_t version = (packet[0] >> 3) & 0x07;
    std::memcpy(packet + 24, packet + 40, 8);
    packet[0] = static_cast<uint8_t>((kLeapAlarm << 6) | (version << 3) | kModeServer);
    packet[1] = 0;  // stratum 0: a kiss
    packet[2] = kPoll;
    packet[3] = kPrecision;
    writeWord(packet + 4, 0);
    writeWord(packet + 8, 0);
    std::memcpy(packet + 12, "RATE", 4);
    std::memset(packet + 16, 0, 8);
    writeTimestamp(packet + 32, received);
    writeTimestamp(packet + 40, received);
}

}  // namespace tavrel
