// The replies of the internal TIME and SNTP servers, free of I/O.
#pragma once

#include <cstdint>

#include "platform/time.h"
#include "protocol/time_protocol.h"

namespace tavrel {

// Whole seconds since 1900 of a UTC clock reading, modulo 2^32 (from
// 2036-02-07 on the era wraps, as RFC 868 and RFC 4330 peers expect).
uint32_t wireSecondsOf(platform::FileTime utc);

// The 4-byte TIME reply for a UTC clock reading.
void buildTimeReply(platform::FileTime utc, uint8_t (&reply)[kTimeReplySize]);

// True for a request a server answers: a client's (mode 3) of NTP version
// 1 to 4. Everything else (a server's reply, a broadcast, a control
// message) is dropped, so that two servers can never answer each other.
bool isSntpClientRequest(const uint8_t (&packet)[kSntpPacketSize]);

// Turns a 48-byte client request into the reply, in place: leap indicator
// 0, the request's version, mode 4 (server), stratum 2, poll 6, precision
// 2^-10, small root delay and dispersion, reference identifier 0x64
// followed by the request's bytes 13-15, the originate timestamp copied from
// the request's transmit timestamp, the time the request came as reference
// and receive timestamps, and the time the reply leaves as transmit
// timestamp, each at the clock's full precision.
void buildSntpReply(uint8_t (&packet)[kSntpPacketSize], platform::FileTime received, platform::FileTime transmitted);

// A UTC clock reading as a wire timestamp (seconds since 1900 modulo 2^32,
// and the fraction in units of 2^-32 s).
void writeTimestamp(uint8_t* at, platform::FileTime utc);

}  // namespace tavrel
