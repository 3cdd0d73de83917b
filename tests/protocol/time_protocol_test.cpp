#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <cstdint>
#include <vector>

#include "protocol/time_protocol.h"
#include "platform/time.h"
#include "tests/support/time_values.h"

namespace tavrel {
namespace {

using test::fileTimeOf;

using platform::FileTime;


TEST(SntpRequest, LayoutForAKnownClockReading) {
    uint8_t packet[kSntpPacketSize];
    buildSntpRequest(fileTimeOf(2009, 6, 1, 12, 0, 0, 250), packet);
    EXPECT_EQ(packet[0], 0x1B);
    const std::vector<uint8_t> originate(packet + 24, packet + 32);
    EXPECT_EQ(originate, (std::vector<uint8_t>{0xCD, 0xCE, 0x41, 0x40, 0x40, 0x00, 0x00, 0x00}));
    for (size_t i = 1; i < 24; ++i) EXPECT_EQ(packet[i], 0) << i;
    for (size_t i = 32; i < 48; ++i) EXPECT_EQ(packet[i], 0) << i;
}

// The originate carries T1 to the clock's 100 ns, not cut to the
// millisecond: the offset's error would be up to half a millisecond.
TEST(SntpRequest, OriginateKeepsTheClocksFullPrecision) {
    const FileTime t1 = fileTimeOf(2026, 12, 7, 21, 30, 5, 250) + 1234;  // 123.4 us past the millisecond
    uint8_t packet[kSntpPacketSize];
    buildSntpRequest(t1, packet);
    const FileTime echoed = ntpToFileTime(readWord(packet, 24), readWord(packet, 28));
    EXPECT_LE(echoed > t1 ? echoed - t1 : t1 - echoed, 1u);
}

TEST(WireTime, TimeReplyBytesGiveTheServerTime) {
    const uint8_t reply[4] = {0xCD, 0xCE, 0x41, 0x40};
    const uint32_t seconds = readWord(reply, 0);
    EXPECT_EQ(seconds, 3'452'846'400u);
    EXPECT_EQ(wireSecondsToFileTime(seconds), fileTimeOf(2009, 6, 1, 12, 0, 0, 0));
    EXPECT_EQ(platform::upperWord(wireSecondsToFileTime(seconds)), 0x01C9E2B0u);
}

TEST(WireTime, SecondsWithTheTopBitClearBelongToTheEraFrom2036) {
    EXPECT_EQ(wireSecondsToFileTime(0x80000000u), fileTimeOf(1968, 1, 20, 3, 14, 8, 0));
    // 2036-02-07 06:28:16 UTC is wire value 0 of the next era.
    EXPECT_EQ(wireSecondsToFileTime(0), fileTimeOf(2036, 2, 7, 6, 28, 16, 0));
    EXPECT_EQ(wireSecondsToFileTime(100), fileTimeOf(2036, 2, 7, 6, 29, 56, 0));
    uint8_t packet[kSntpPacketSize];
    buildSntpRequest(fileTimeOf(2036, 2, 7, 6, 29, 56, 0), packet);
    EXPECT_EQ(readWord(packet, 24), 100u);
}

TEST(WireTime, FractionsBecomeFileTimeUnitsExactly) {
    // Half a second is 5,000,000 units, not the 5,005,828 of a division by 429.
    EXPECT_EQ(ntpToFileTime(3'452'846'400u, 0x80000000u) - ntpToFileTime(3'452'846'400u, 0), 5'000'000u);
    EXPECT_EQ(ntpToFileTime(3'452'846'400u, 0xFFFFFFFFu) - ntpToFileTime(3'452'846'400u, 0), 10'000'000u);
    EXPECT_EQ(ntpToFileTime(3'452'846'400u, 429) - ntpToFileTime(3'452'846'400u, 0), 1u);
}

TEST(SntpOffset, ServerOneSecondAheadWithoutDelay) {
    const FileTime t1 = fileTimeOf(2020, 1, 1, 0, 0, 0, 0);
    EXPECT_EQ(sntpOffsetUnits(t1, t1 + 10'000'000, t1 + 10'000'000, t1), 10'000'000);
}

TEST(SntpOffset, ServerAQuarterSecondBehind) {
    const FileTime t1 = fileTimeOf(2020, 1, 1, 0, 0, 0, 0);
    const int64_t offset = sntpOffsetUnits(t1, t1 - 2'500'000, t1 + 1'000'000 - 2'500'000, t1 + 1'000'000);
    EXPECT_EQ(offset, -2'500'000);
}

TEST(SntpOffset, HalvesRoundToEven) {
    const FileTime t1 = 1'000'000'000;
    EXPECT_EQ(sntpOffsetUnits(t1, t1 + 1, t1, t1), 0);
    EXPECT_EQ(sntpOffsetUnits(t1, t1 + 3, t1, t1), 2);
    EXPECT_EQ(sntpOffsetUnits(t1, t1 - 3, t1, t1), -2);
}

TEST(SntpOffset, ExtremeDifferencesSaturate) {
    EXPECT_EQ(sntpOffsetUnits(0, UINT64_MAX, UINT64_MAX, 0), INT64_MAX);
    EXPECT_EQ(sntpOffsetUnits(UINT64_MAX, 0, 0, UINT64_MAX), INT64_MIN);
}

TEST(SntpReply, ShortAndEmptyRepliesAreRefused) {
    std::vector<uint8_t> reply(48, 0);
    reply[0] = 0x1C;
    reply[1] = 2;
    SntpTimestamps stamps{};
    EXPECT_FALSE(readSntpReply(reply, stamps));  // no transmit timestamp
    reply[47] = 1;
    EXPECT_TRUE(readSntpReply(reply, stamps));
    EXPECT_EQ(stamps.transmitFraction, 1u);
    reply.resize(47);
    EXPECT_FALSE(readSntpReply(reply, stamps));
}

// RFC 4330 section 5: an unsynchronised server's time (leap indicator 3)
// and a kiss-o'-death (stratum 0) are never taken.
TEST(SntpReply, UnsynchronisedAndKissOfDeathRepliesAreRefused) {
    std::vector<uint8_t> reply(48, 0);
    reply[0] = 0x1C;
    reply[1] = 2;
    writeWord(reply.data() + 40, 3'452'846'400u);
    SntpTimestamps stamps{};
    EXPECT_TRUE(readSntpReply(reply, stamps));
    reply[0] = 0xDC;  // leap indicator 3
    EXPECT_FALSE(readSntpReply(reply, stamps));
    reply[0] = 0x5C;  // leap indicator 1: a leap second ahead, still good
    EXPECT_TRUE(readSntpReply(reply, stamps));
    reply[1] = 0;  // stratum 0
    EXPECT_FALSE(readSntpReply(reply, stamps));
}

// A kiss's code is read from the reference identifier of a stratum-0 reply
// only; another stratum's identifier is no kiss.
TEST(SntpReply, KissCodes) {
    std::vector<uint8_t> reply(48, 0);
    reply[0] = 0x1C;
    std::memcpy(reply.data() + 12, "RATE", 4);
    std::string code;
    ASSERT_TRUE(readKissCode(reply, code));
    EXPECT_EQ(code, "RATE");
    reply[12] = 0x01;  // unprintable bytes never reach the log as they are
    ASSERT_TRUE(readKissCode(reply, code));
    EXPECT_EQ(code, "?ATE");
    reply[1] = 2;  // a stratum-2 server's reference identifier
    EXPECT_FALSE(readKissCode(reply, code));
    reply[1] = 0;
    EXPECT_FALSE(readKissCode(std::span<const uint8_t>(reply.data(), 47), code));
}

TEST(SntpReply, ReadsReceiveAndTransmitTimestamps) {
    std::vector<uint8_t> reply(48, 0);
    reply[1] = 2;
    writeWord(reply.data() + 32, 1);
    writeWord(reply.data() + 36, 2);
    writeWord(reply.data() + 40, 3);
    writeWord(reply.data() + 44, 4);
    SntpTimestamps stamps{};
    ASSERT_TRUE(readSntpReply(reply, stamps));
    EXPECT_EQ(stamps.receiveSeconds, 1u);
    EXPECT_EQ(stamps.receiveFraction, 2u);
    EXPECT_EQ(stamps.transmitSeconds, 3u);
    EXPECT_EQ(stamps.transmitFraction, 4u);
}

}  // namespace
}  // namespace tavrel
