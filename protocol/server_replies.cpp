#include "protocol/server_replies.h"

#include <cstring>

#include "protocol/time_protocol.h"

namespace tavrel {
namespace {

constexpr uint8_t kModeClient = 3;
constexpr uint8_t kModeServer = 4;
constexpr uint8_t kOldestVersion = 1;
constexpr uint8_t kNewestVersion = 4;
constexpr uint8_t kStratum = 2;
constexpr uint8_t kPoll = 6;
constexpr uint8_t kPrecision = 0xF6;  // 2^-10 s
// Root delay 0 and root dispersion 1/256 s (16.16 format): honest figures
// for a clock read to the millisecond.
constexpr uint32_t kRootDelay = 0x00000000;
constexpr uint32_t kRootDispersion = 0x00000100;
constexpr uint8_t kReferenceFirstByte = 0x64;

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

void buildSntpReply(uint8_t (&packet)[kSntpPacketSize], platform::FileTime received, platform::FileTime transmitted) {
    const uint8_t version = (packet[0] >> 3) & 0x07;
    std::memcpy(packet + 24, packet + 40, 8);  // originate = the request's transmit timestamp
    packet[0] = static_cast<uint8_t>((version << 3) | kModeServer);
    packet[1] = kStratum;
    packet[2] = kPoll;
    packet[3] = kPrecision;
    writeWord(packet + 4, kRootDelay);
    writeWord(packet + 8, kRootDispersion);
    packet[12] = kReferenceFirstByte;
    writeTimestamp(packet + 16, received);
    writeTimestamp(packet + 32, received);
    writeTimestamp(packet + 40, transmitted);
}

}  // namespace tavrel
