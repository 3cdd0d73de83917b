#include "protocol/server_replies.h"

#include <cstring>

#include "protocol/time_protocol.h"

namespace tavrel {
namespace {

constexpr uint8_t kHeader[4] = {0x1C, 0x02, 0x06, 0xF6};  // v3 server, stratum 2, poll 6, precision 2^-10
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

void buildSntpReply(uint8_t (&packet)[kSntpPacketSize], const platform::SystemTime& utc) {
    platform::FileTime reading = 0;
    (void)platform::systemTimeToFileTime(utc, reading);
    const uint32_t seconds = wireSecondsOf(reading);
    const uint32_t fraction = static_cast<uint32_t>(utc.milliseconds) * kFractionPerMs;

    std::memcpy(packet + 24, packet + 40, 8);  // originate = the request's transmit timestamp
    std::memcpy(packet, kHeader, sizeof kHeader);
    writeWord(packet + 4, kRootDelay);
    writeWord(packet + 8, kRootDispersion);
    packet[12] = kReferenceFirstByte;
    for (size_t at : {16u, 32u, 40u}) {
        writeWord(packet + at, seconds);
        writeWord(packet + at + 4, fraction);
    }
}

}  // namespace tavrel
