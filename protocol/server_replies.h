// The replies of the internal TIME and SNTP servers, free of I/O.
#pragma once

#include <cstdint>

#include "platform/time.h"
#include "protocol/time_protocol.h"

namespace tavrel {

// What the server can say of its clock: when it was last set or checked
// against a good source, what that found and what the source said of
// itself, and what the system says of the clock (another time daemon may
// keep it).
struct ClockStanding {
    platform::FileTime lastSync = 0;  // UTC of the last good correction or check; 0 for never
    uint32_t lastSyncRoundTripMs = 0;
    uint32_t lastSyncErrorMs = 0;     // what the protocol adds (TIME's whole seconds)
    bool systemSynchronised = false;  // the system says another daemon keeps the clock
    uint64_t systemMaxErrorUs = 0;    // the system's bound on the clock's error
    uint32_t sourceReferenceId = 0;   // names the source of the last good correction or check
    // A Check vouches only for what it found: the clock was this far off
    // the source (100 ns, signed) and left so. A Correct that stepped: 0.
    int64_t offsetFound = 0;
    // A Correct that slews: the change being slewed (100 ns, signed) and
    // the UTC time the slew is done; it began at lastSync.
    int64_t slewAmount = 0;
    platform::FileTime slewEnd = 0;
    // What the source said of itself: its stratum (0 where the protocol
    // does not say, as TIME's; taken as 1), root delay and root dispersion
    // (seconds, 16.16).
    uint8_t upstreamStratum = 0;
    uint32_t upstreamRootDelay = 0;
    uint32_t upstreamRootDispersion = 0;
    // A leap second the sources announced, served until leapUntil (the end
    // of the UTC day it was announced for).
    platform::LeapState leap = platform::LeapState::None;
    platform::FileTime leapUntil = 0;
    // How fast what is known of the clock decays after the last correction
    // or check: the uncertainty of its frequency, in parts per million
    // (RFC 5905's tolerance until the clock's own rate is known).
    double dispersionRatePpm = 15.0;
    // Another program set the clock since the last good correction or
    // check: what the system says of it counts for nothing until the next.
    bool steppedElsewhere = false;
};

// The clock as the replies describe it.
struct ServedClock {
    bool synchronised = false;
    platform::FileTime reference = 0;  // when the clock was last set (0: never)
    uint8_t stratum = 0;               // while synchronised: the source's plus one
    platform::LeapState leap = platform::LeapState::None;
    uint32_t rootDelay = 0;            // seconds, 16.16
    uint32_t rootDispersion = 0;       // seconds, 16.16
    // Names the clock's source (RFC 5905: its IPv4 address, or the start of
    // the MD5 of its IPv6 address), so that a client can tell its own time
    // coming back; 0 where the source is unknown.
    uint32_t referenceId = 0;
};

// A clock counts as synchronised for a day after a good correction or
// check of its own, while what that found of it (the offset a Check left,
// the rest of a slew still to run, half the round trip) is within a
// second; or while the system says so with an error under a second.
// The root delay is the source's plus the round trip; the root dispersion
// the source's plus ours: what was found, half the round trip, what the
// protocol adds, and dispersionRatePpm of the time since.
ServedClock servedClockAt(const ClockStanding& standing, platform::FileTime now);

inline constexpr platform::FileTime kSynchronisedFor = 24ULL * 3600 * platform::kFileTimeUnitsPerSecond;

// Whole seconds since 1900 of a UTC clock reading, modulo 2^32 (from
// 2036-02-07 on the era wraps, as RFC 868 and RFC 4330 peers expect).
uint32_t wireSecondsOf(platform::FileTime utc);

// The 4-byte TIME reply for a UTC clock reading.
void buildTimeReply(platform::FileTime utc, uint8_t (&reply)[kTimeReplySize]);

// True for a request a server answers: a client's (mode 3) of NTP version
// 1 to 4. Everything else (a server's reply, a broadcast, a control
// message) is dropped, so that two servers can never answer each other.
bool isSntpClientRequest(const uint8_t (&packet)[kSntpPacketSize]);

// Turns a 48-byte client request into the reply, in place: the request's
// version, mode 4 (server), poll 6, precision 2^-10, the clock's reference
// identifier, the originate timestamp
// copied from the request's transmit timestamp, the time the request came
// as receive timestamp and the time the reply leaves as transmit timestamp,
// each at the clock's full precision. A synchronised clock is served with
// its stratum, leap indicator, reference time, root delay and dispersion;
// an unsynchronised one as stratum 16 with leap indicator 3 ("alarm"),
// which clients refuse. Every byte but the originate is the server's own.
void buildSntpReply(uint8_t (&packet)[kSntpPacketSize], platform::FileTime received, platform::FileTime transmitted,
                    const ServedClock& clock);

// Turns a client request into a RATE kiss (RFC 5905 7.4): leap indicator
// 3, stratum 0, reference identifier "RATE", the originate timestamp
// copied back so that the client can match it.
void buildRateKiss(uint8_t (&packet)[kSntpPacketSize], platform::FileTime received);

// A UTC clock reading as a wire timestamp (seconds since 1900 modulo 2^32,
// and the fraction in units of 2^-32 s).
void writeTimestamp(uint8_t* at, platform::FileTime utc);

}  // namespace tavrel
