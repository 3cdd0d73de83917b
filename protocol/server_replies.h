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

// Turns a 48-byte request into the reply, in place: fixed header 0x1C 0x02
// 0x06 0xF6, small root delay and dispersion, reference identifier 0x64
// followed by the request's bytes 13-15, the originate timestamp copied from
// the request's transmit timestamp, and the clock reading (seconds and
// millisecond fraction) as reference, receive and transmit timestamps.
void buildSntpReply(uint8_t (&packet)[kSntpPacketSize], const platform::SystemTime& utc);

}  // namespace tavrel
