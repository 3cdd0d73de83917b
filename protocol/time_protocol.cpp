#include "protocol/time_protocol.h"

#include <cfenv>
#include <cmath>
#include <limits>

namespace tavrel {

namespace {
constexpr uint64_t kEraSeconds = 1ULL << 32;
constexpr uint32_t kEraTopBit = 0x80000000u;
}  // namespace

uint64_t wireSecondsSince1900(uint32_t wireSeconds) {
    return (wireSeconds & kEraTopBit) != 0 ? wireSeconds : wireSeconds + kEraSeconds;
}

platform::FileTime ntpToFileTime(uint32_t seconds, uint32_t fraction) {
    return platform::kFileTime1900 + wireSecondsSince1900(seconds) * platform::kFileTimeUnitsPerSecond +
           fraction / kFractionPerFileTimeUnit;
}

uint32_t readWord(std::span<const uint8_t> bytes, size_t offset) {
    return (static_cast<uint32_t>(bytes[offset]) << 24) | (static_cast<uint32_t>(bytes[offset + 1]) << 16) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 8) | bytes[offset + 3];
}

void writeWord(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

void buildSntpRequest(platform::FileTime t1, uint16_t t1Milliseconds, uint8_t (&packet)[kSntpPacketSize]) {
    for (uint8_t& b : packet) b = 0;
    packet[0] = kSntpClientHeader;
    // Seconds since 1900 modulo 2^32: the wire form in every era.
    const uint32_t seconds = static_cast<uint32_t>((t1 - platform::kFileTime1900) / platform::kFileTimeUnitsPerSecond);
    writeWord(packet + 24, seconds);
    writeWord(packet + 28, static_cast<uint32_t>(t1Milliseconds) * kFractionPerMs);
}

bool readSntpReply(std::span<const uint8_t> reply, SntpTimestamps& out) {
    if (reply.size() < kSntpPacketSize) return false;
    out.receiveSeconds = readWord(reply, 32);
    out.receiveFraction = readWord(reply, 36);
    out.transmitSeconds = readWord(reply, 40);
    out.transmitFraction = readWord(reply, 44);
    return out.transmitSeconds != 0 || out.transmitFraction != 0;
}

int64_t sntpOffset(platform::FileTime t1, platform::FileTime t2, platform::FileTime t3, platform::FileTime t4) {
    const long double sum = static_cast<long double>(static_cast<int64_t>(t2) - static_cast<int64_t>(t1)) +
                            static_cast<long double>(static_cast<int64_t>(t3) - static_cast<int64_t>(t4));
    const long double scaled = sum / 2 * kFractionPerFileTimeUnit;
    constexpr long double kMax = static_cast<long double>(std::numeric_limits<int64_t>::max());
    constexpr long double kMin = static_cast<long double>(std::numeric_limits<int64_t>::min());
    if (scaled >= kMax) return std::numeric_limits<int64_t>::max();
    if (scaled <= kMin) return std::numeric_limits<int64_t>::min();
    // nearbyint rounds in the current mode, which is to nearest, ties to even.
    return static_cast<int64_t>(std::nearbyintl(scaled));
}

}  // namespace tavrel
