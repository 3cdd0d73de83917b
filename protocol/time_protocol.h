// The TIME (RFC 868) and SNTP (RFC 4330) arithmetic, free of I/O: requests,
// replies, timestamps and the clock offset.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/socket.h"
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

// An NTP timestamp's eight wire bytes.
using WireTimestamp = std::array<uint8_t, 8>;

// A UTC clock reading as a wire timestamp (seconds since 1900 modulo 2^32
// and the fraction rounded to the nearest 2^-32 s, so that it reads back
// as the same 100-ns unit).
WireTimestamp wireTimestampOf(platform::FileTime utc);

// The 48-byte client request: all zero but the header and the transmit
// timestamp at bytes 40..47, which the server echoes as the reply's
// originate. The client sends a random one and keeps T1 itself, so that
// only someone who saw the request can answer it.
void buildSntpRequest(const WireTimestamp& transmit, uint8_t (&packet)[kSntpPacketSize]);

// Big-endian 32-bit word at `offset`.
uint32_t readWord(std::span<const uint8_t> bytes, size_t offset);
void writeWord(uint8_t* at, uint32_t value);

struct SntpTimestamps {
    uint32_t receiveSeconds, receiveFraction;    // T2, bytes 32..39
    uint32_t transmitSeconds, transmitFraction;  // T3, bytes 40..47
};

// What a datagram received for a request is.
enum class SntpReplyKind {
    Usable,       // the server's answer, its figures fit to use
    NotAnAnswer,  // not the answer to this request (dropped; the real one may still come)
    Kiss,         // the server's answer is a Kiss-o'-Death (its code in `kiss`)
    Unusable,     // the server's answer, but its figures must not be used
};

struct SntpReplyCheck {
    SntpReplyKind kind = SntpReplyKind::NotAnAnswer;
    const char* reason = "";  // why, for anything but Usable
    SntpTimestamps stamps{};
    std::string kiss;         // "RATE", "DENY", ... (unprintable bytes as '?')
    uint8_t leap = 0;  // the leap indicator: 1 a second to insert, 2 one to delete at the day's end
    uint8_t stratum = 0;
    uint32_t referenceId = 0;
    uint32_t rootDelay = 0;       // seconds, 16.16
    uint32_t rootDispersion = 0;  // seconds, 16.16
};

// Checks a reply against the request whose transmit timestamp was `sent`
// before any of its figures is used (RFC 5905 section 9.2, RFC 4330
// section 5). Not an answer: shorter than 48 bytes, not a server's (mode
// 4), a version other than 1 to 4, or an originate other than `sent`.
// A kiss (stratum 0) counts only as an answer. Unusable: leap indicator
// 3 or stratum 16 and above (not synchronised), no transmit timestamp,
// receive and transmit more than a second apart, a root delay or
// dispersion of 16 s or more.
SntpReplyCheck checkSntpReply(std::span<const uint8_t> reply, const WireTimestamp& sent);

// The reference identifier that names an upstream server in a reply
// (RFC 5905): its IPv4 address, or the first four bytes of the MD5 digest
// of its IPv6 address.
uint32_t referenceIdOf(const platform::NetAddress& upstream);

// A reply names this computer as its server's source: its reference
// identifier is one of `ownAddresses` (a stratum 1 server's identifier is
// a text, not an address). Taking its time would be taking our own back.
bool namesOwnAddress(const SntpReplyCheck& reply, const std::vector<platform::NetAddress>& ownAddresses);

// A Kiss-o'-Death (RFC 4330 section 8): a reply with stratum 0 carries a
// four-letter code in its reference identifier (bytes 12..15). True, with
// the code ("RATE", "DENY", "RSTR", ...; unprintable bytes as '?'), when the
// reply is one. Says nothing of whether the kiss answers a request.
bool readKissCode(std::span<const uint8_t> reply, std::string& code);

// The clock offset ((T2 - T1) + (T3 - T4)) / 2 in FILETIME units (100 ns),
// server minus this computer with half the round trip compensated; the
// half rounds to nearest, ties to even; clamped to the 64-bit range.
int64_t sntpOffsetUnits(platform::FileTime t1, platform::FileTime t2, platform::FileTime t3, platform::FileTime t4);

}  // namespace tavrel
