// The TIME (RFC 868) and SNTP (RFC 4330) arithmetic, free of I/O: requests,
// replies, timestamps and the clock offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/time.h"

namespace tavrel {

inline constexpr uint16_t kTimePort = 37;
inline constexpr uint16_t kSntpPort = 123;
inline constexpr size_t kTimeReplySize = 4;
inline constexpr size_t kSntpPacketSize = 48;
// Leap indicator 0, version 3, mode 3 (client).
inline constexpr uint8_t kSntpClientHeader = 0x1B;

// Seconds since 1900 of a 32-bit wire value. Values with the top bit clear
// belong to the era that starts in 2036 (RFC 4330's rule), so the client
// keeps working after 2036-02-07.
uint64_t wireSecondsSince1900(uint32_t wireSeconds);

// A wire timestamp (seconds and 2^-32 s fraction) as a FILETIME, exact to
// the nearest 100-ns unit.
platform::FileTime ntpToFileTime(uint32_t seconds, uint32_t fraction);
inline platform::FileTime wireSecondsToFileTime(uint32_t seconds) { return ntpToFileTime(seconds, 0); }

// The 48-byte client request for a clock reading T1 (its millisecond
// field given separately): all zero but the header and the originate
// timestamp at bytes 24..31.
void buildSntpRequest(platform::FileTime t1, uint8_t (&packet)[kSntpPacketSize]);

// Big-endian 32-bit word at `offset`.
uint32_t readWord(std::span<const uint8_t> bytes, size_t offset);
void writeWord(uint8_t* at, uint32_t value);

struct SntpTimestamps {
    uint32_t receiveSeconds, receiveFraction;    // T2, bytes 32..39
    uint32_t transmitSeconds, transmitFraction;  // T3, bytes 40..47
};
// Reads T2 and T3 from a reply. False for a reply shorter than 48 bytes,
// one from an unsynchronised server (leap indicator 3) or a kiss-o'-death
// (stratum 0), and one without a transmit timestamp.
bool readSntpReply(std::span<const uint8_t> reply, SntpTimestamps& out);

// A Kiss-o'-Death (RFC 4330 section 8): a reply with stratum 0 carries a
// four-letter code in its reference identifier (bytes 12..15). True, with
// the code ("RATE", "DENY", "RSTR", ...; unprintable bytes as '?'), when the
// reply is one.
bool readKissCode(std::span<const uint8_t> reply, std::string& code);

// The clock offset ((T2 - T1) + (T3 - T4)) / 2 in FILETIME units (100 ns),
// server minus this computer with half the round trip compensated; the
// half rounds to nearest, ties to even; clamped to the 64-bit range.
int64_t sntpOffsetUnits(platform::FileTime t1, platform::FileTime t2, platform::FileTime t3, platform::FileTime t4);

}  // namespace tavrel
