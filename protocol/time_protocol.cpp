#include "protocol/time_protocol.h"

#include <algorithm>
#include <limits>

#include "platform/nts_crypto.h"

namespace tavrel {

namespace {
constexpr uint64_t kEraSeconds = 1ULL << 32;
constexpr uint8_t kLeapAlarm = 3;
constexpr uint8_t kKissOfDeathStratum = 0;
constexpr uint32_t kEraTopBit = 0x80000000u;
constexpr uint8_t kModeServer = 4;
constexpr uint8_t kOldestVersion = 1;
constexpr uint8_t kNewestVersion = 4;
constexpr uint8_t kStratumUnsynchronised = 16;
constexpr size_t kOriginateAt = 24;
constexpr size_t kTransmitAt = 40;
// RFC 5905's largest root delay or dispersion, 16 s in 16.16.
constexpr uint32_t kMostRootDistance = 16u << 16;
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

WireTimestamp wireTimestampOf(platform::FileTime utc) {
    WireTimestamp out{};
    // Seconds since 1900 modulo 2^32: the wire form in every era.
    const uint64_t sinceEpoch = utc - platform::kFileTime1900;
    uint64_t seconds = sinceEpoch / platform::kFileTimeUnitsPerSecond;
    // The fraction to the clock's full precision (100 ns), rounded to the
    // nearest 2^-32 s; a fraction that rounds up to a whole second carries.
    const uint64_t units = sinceEpoch % platform::kFileTimeUnitsPerSecond;
    uint64_t fraction = ((units << 32) + platform::kFileTimeUnitsPerSecond / 2) / platform::kFileTimeUnitsPerSecond;
    if (fraction > 0xFFFFFFFFu) {
        fraction = 0;
        ++seconds;
    }
    writeWord(out.data(), static_cast<uint32_t>(seconds));
    writeWord(out.data() + 4, static_cast<uint32_t>(fraction));
    return out;
}

void buildSntpRequest(const WireTimestamp& transmit, uint8_t (&packet)[kSntpPacketSize]) {
    for (uint8_t& b : packet) b = 0;
    packet[0] = kSntpClientHeader;
    std::copy(transmit.begin(), transmit.end(), packet + kTransmitAt);
}

SntpReplyCheck checkSntpReply(std::span<const uint8_t> reply, const WireTimestamp& sent) {
    SntpReplyCheck check;
    if (reply.size() < kSntpPacketSize) {
        check.reason = "reply cut short";
        return check;
    }
    // The bogus-packet tests first: what does not answer this request is
    // someone else's, or a forgery, and the real answer may still come.
    const uint8_t mode = reply[0] & 0x07;
    const uint8_t version = (reply[0] >> 3) & 0x07;
    if (mode != kModeServer) {
        check.reason = "reply not from a server";
        return check;
    }
    if (version < kOldestVersion || version > kNewestVersion) {
        check.reason = "reply of an unknown version";
        return check;
    }
    if (!std::equal(sent.begin(), sent.end(), reply.begin() + kOriginateAt)) {
        check.reason = "reply did not answer our request";
        return check;
    }
    check.leap = static_cast<uint8_t>(reply[0] >> 6);
    check.stratum = reply[1];
    check.rootDelay = readWord(reply, 4);
    check.rootDispersion = readWord(reply, 8);
    check.referenceId = readWord(reply, 12);
    check.stamps.receiveSeconds = readWord(reply, 32);
    check.stamps.receiveFraction = readWord(reply, 36);
    check.stamps.transmitSeconds = readWord(reply, 40);
    check.stamps.transmitFraction = readWord(reply, 44);
    if (check.stratum == kKissOfDeathStratum) {
        (void)readKissCode(reply, check.kiss);
        check.kind = SntpReplyKind::Kiss;
        check.reason = "kiss-o'-death";
        return check;
    }
    check.kind = SntpReplyKind::Unusable;
    // RFC 4330 section 5: a server whose clock is not synchronised is not
    // believed.
    if ((reply[0] >> 6) == kLeapAlarm || check.stratum >= kStratumUnsynchronised) {
        check.reason = "server not synchronised";
        return check;
    }
    if (check.stamps.transmitSeconds == 0 && check.stamps.transmitFraction == 0) {
        check.reason = "reply without a transmit time";
        return check;
    }
    const platform::FileTime t2 = ntpToFileTime(check.stamps.receiveSeconds, check.stamps.receiveFraction);
    const platform::FileTime t3 = ntpToFileTime(check.stamps.transmitSeconds, check.stamps.transmitFraction);
    if ((t3 > t2 ? t3 - t2 : t2 - t3) > platform::kFileTimeUnitsPerSecond) {
        check.reason = "receive and transmit times a second apart";
        return check;
    }
    if (check.rootDelay >= kMostRootDistance || check.rootDispersion >= kMostRootDistance) {
        check.reason = "server too far from its reference";
        return check;
    }
    check.kind = SntpReplyKind::Usable;
    check.reason = "";
    return check;
}

uint32_t referenceIdOf(const platform::NetAddress& upstream) {
    if (upstream.family == platform::AddressFamily::V4) return upstream.ipv4();
    std::array<uint8_t, 16> digest{};
    if (!platform::md5Digest(std::span<const uint8_t>(upstream.bytes, 16), digest)) return 0;
    return readWord(digest, 0);
}

bool namesOwnAddress(const SntpReplyCheck& reply, const std::vector<platform::NetAddress>& ownAddresses) {
    if (reply.stratum < 2 || reply.referenceId == 0) return false;
    return std::any_of(ownAddresses.begin(), ownAddresses.end(), [&reply](const platform::NetAddress& own) {
        return referenceIdOf(own) == reply.referenceId;
    });
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
