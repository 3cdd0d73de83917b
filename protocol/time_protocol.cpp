#include "protocol/time_protocol.h"

#include <limits>

namespace tavrel {

namespace {
constexpr uint64_t kEraSeconds = 1ULL << 32;
constexpr uint8_t kLeapAlarm = 3;
constexpr uint8_t kKissOfDeathStratum = 0;
constexpr uint32_t kEraTopBit = 0x80000000u;
}  // namespace

uint64_t wireSecondsSince1900(uint32_t wireSeconds) {
    return (wireSeconds & kEraTopBit) != 0 ? wireSeconds : wireSeconds + kEraSeconds;
}

platform::FileTime ntpToFileTime(uint32_t seconds, uint32_t fraction) {
    // The fraction to the nearest 100-ns unit: 2^-32 s is finer than it.
    const uint64_t units = (static_cast<uint64_t>(fraction) * platform::kFileTimeUnitsPerSecond + (1ULL << 31)) >> 32;
    return platform::kFileTime1900 + wireSecondsSince1900(seconds) * platform::kFileTimeUnitsPerSecond + units;
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

void buildSntpRequest(platform::FileTime t1, uint8_t (&packet)[kSntpPacketSize]) {
    for (uint8_t& b : packet) b = 0;
    packet[0] = kSntpClientHeader;
    // Seconds since 1900 modulo 2^32: the wire form in every era.
    const uint64_t sinceEpoch = t1 - platform::kFileTime1900;
    writeWord(packet + 24, static_cast<uint32_t>(sinceEpoch / platform::kFileTimeUnitsPerSecond));
    // The fraction to the clock's full precision (100 ns), rounded to the
    // nearest 2^-32 s, so the originate the server echoes is T1 itself.
    const uint64_t units = sinceEpoch % platform::kFileTimeUnitsPerSecond;
    writeWord(packet + 28, static_cast<uint32_t>(((units << 32) + platform::kFileTimeUnitsPerSecond / 2) /
                                                 platform::kFileTimeUnitsPerSecond));
}

bool readSntpReply(std::span<const uint8_t> reply, SntpTimestamps& out) {
    if (reply.size() < kSntpPacketSize) return false;
    // RFC 4330 section 5: a server whose clock is not synchronised (leap
    // indicator 3) or that sends a kiss-o'-death (stratum 0) is not believed.
    if ((reply[0] >> 6) == kLeapAlarm || reply[1] == kKissOfDeathStratum) return false;
    out.receiveSeconds = readWord(reply, 32);
    out.receiveFraction = readWord(reply, 36);
    out.transmitSeconds = readWord(reply, 40);
    out.transmitFraction = readWord(reply, 44);
    return out.transmitSeconds != 0 || out.transmitFraction != 0;
}

bool readKissCode(std::span<const uint8_t> reply, std::string& code) {
    constexpr size_t kReferenceId = 12;
    if (reply.size() < kSntpPacketSize || reply[1] != kKissOfDeathStratum) return false;
    code.clear();
    for (size_t i = kReferenceId; i < kReferenceId + 4; ++i) {
        const uint8_t c = reply[i];
        code += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return true;
}

int64_t sntpOffsetUnits(platform::FileTime t1, platform::FileTime t2, platform::FileTime t3, platform::FileTime t4) {
    // 128-bit sums: four 64-bit readings cannot overflow them. GCC and clang
    // (the compilers this builds with) have the type; __extension__ says
    // it is used on purpose under -Wpedantic.
    __extension__ using Wide = __int128;
    const Wide sum = (static_cast<Wide>(t2) - static_cast<Wide>(t1)) + (static_cast<Wide>(t3) - static_cast<Wide>(t4));
    Wide half = sum / 2;
    const Wide rest = sum % 2;  // -1, 0 or 1: a tie between two units
    if (rest != 0 && (half % 2) != 0) half += rest;
    constexpr Wide kMax = std::numeric_limits<int64_t>::max();
    constexpr Wide kMin = std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(half > kMax ? kMax : half < kMin ? kMin : half);
}

}  // namespace tavrel
