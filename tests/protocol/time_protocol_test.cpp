#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include <cstdint>
#include <vector>

#include "platform/socket.h"
#include "protocol/time_protocol.h"
#include "platform/time.h"
#include "tests/support/time_values.h"

namespace tavrel {
namespace {

using test::fileTimeOf;

using platform::FileTime;


// The request carries only its header and the transmit timestamp it was
// given; the originate, where old clients put T1, stays zero.
TEST(SntpRequest, CarriesItsTransmitTimestampAndNothingElse) {
    const WireTimestamp transmit{0xCD, 0xCE, 0x41, 0x40, 0x3F, 0xFF, 0xFF, 0xB6};
    uint8_t packet[kSntpPacketSize];
    buildSntpRequest(transmit, packet);
    EXPECT_EQ(packet[0], 0x1B);
    EXPECT_EQ(std::vector<uint8_t>(packet + 40, packet + 48), std::vector<uint8_t>(transmit.begin(), transmit.end()));
    for (size_t i = 1; i < 40; ++i) EXPECT_EQ(packet[i], 0) << i;
}

// A clock reading as a wire timestamp keeps the clock's 100 ns, and reads
// back as the same unit.
TEST(SntpRequest, WireTimestampsKeepTheClocksFullPrecision) {
    const WireTimestamp known = wireTimestampOf(fileTimeOf(2009, 6, 1, 12, 0, 0, 250));
    EXPECT_EQ(std::vector<uint8_t>(known.begin(), known.end()),
              (std::vector<uint8_t>{0xCD, 0xCE, 0x41, 0x40, 0x40, 0x00, 0x00, 0x00}));
    for (const FileTime t1 : {fileTimeOf(2026, 12, 7, 21, 30, 5, 250) + 1234, fileTimeOf(2026, 1, 1, 0, 0, 0, 999) + 9999}) {
        const WireTimestamp w = wireTimestampOf(t1);
        const FileTime back = ntpToFileTime(readWord(w, 0), readWord(w, 4));
        EXPECT_LE(back > t1 ? back - t1 : t1 - back, 1u);
    }
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
    EXPECT_EQ(readWord(wireTimestampOf(fileTimeOf(2036, 2, 7, 6, 29, 56, 0)), 0), 100u);
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

const WireTimestamp kSent{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

// A good server's answer to the request that sent kSent: version 4, mode
// 4, stratum 2, receive and transmit 0.25 ms apart.
std::vector<uint8_t> answer() {
    std::vector<uint8_t> reply(48, 0);
    reply[0] = 0x24;
    reply[1] = 2;
    reply[3] = 0xEC;  // precision 2^-20 s
    writeWord(reply.data() + 4, 0x00000100);  // root delay
    writeWord(reply.data() + 8, 0x00000200);  // root dispersion
    writeWord(reply.data() + 12, 0x7F000005);
    std::copy(kSent.begin(), kSent.end(), reply.begin() + 24);
    writeWord(reply.data() + 32, 3'452'846'400u);
    writeWord(reply.data() + 36, 0x10000000u);
    writeWord(reply.data() + 40, 3'452'846'400u);
    writeWord(reply.data() + 44, 0x10100000u);
    return reply;
}

TEST(SntpReply, AGoodAnswerIsUsableWithItsFigures) {
    const SntpReplyCheck check = checkSntpReply(answer(), kSent);
    ASSERT_EQ(check.kind, SntpReplyKind::Usable) << check.reason;
    EXPECT_EQ(check.stamps.receiveSeconds, 3'452'846'400u);
    EXPECT_EQ(check.stamps.receiveFraction, 0x10000000u);
    EXPECT_EQ(check.stamps.transmitFraction, 0x10100000u);
    EXPECT_EQ(check.stratum, 2);
    EXPECT_EQ(check.referenceId, 0x7F000005u);
    EXPECT_EQ(check.rootDelay, 0x100u);
    EXPECT_EQ(check.rootDispersion, 0x200u);
    for (const int version : {1, 2, 3, 4}) {
        std::vector<uint8_t> reply = answer();
        reply[0] = static_cast<uint8_t>((version << 3) | 4);
        EXPECT_EQ(checkSntpReply(reply, kSent).kind, SntpReplyKind::Usable) << version;
    }
}

// What does not answer the request is passed over, whatever it says: a
// forger who did not see the request cannot know its transmit timestamp.
TEST(SntpReply, WhatDoesNotAnswerTheRequestIsNotAnAnswer) {
    auto kindOf = [](std::vector<uint8_t> reply) { return checkSntpReply(reply, kSent).kind; };
    std::vector<uint8_t> reply = answer();
    reply[31] ^= 1;  // originate one bit off
    EXPECT_EQ(kindOf(reply), SntpReplyKind::NotAnAnswer);
    EXPECT_STREQ(checkSntpReply(reply, kSent).reason, "reply did not answer our request");
    reply = answer();
    std::fill(reply.begin() + 24, reply.begin() + 32, 0);  // zero originate
    EXPECT_EQ(kindOf(reply), SntpReplyKind::NotAnAnswer);
    for (const int mode : {0, 1, 2, 3, 5, 6, 7}) {
        reply = answer();
        reply[0] = static_cast<uint8_t>(0x20 | mode);
        EXPECT_EQ(kindOf(reply), SntpReplyKind::NotAnAnswer) << "mode " << mode;
    }
    for (const int version : {0, 5, 7}) {
        reply = answer();
        reply[0] = static_cast<uint8_t>((version << 3) | 4);
        EXPECT_EQ(kindOf(reply), SntpReplyKind::NotAnAnswer) << "version " << version;
    }
    // A kiss that does not answer the request is no kiss.
    reply = answer();
    reply[1] = 0;
    std::memcpy(reply.data() + 12, "DENY", 4);
    reply[24] ^= 0x80;
    EXPECT_EQ(kindOf(reply), SntpReplyKind::NotAnAnswer);
    reply = answer();
    reply.resize(47);
    EXPECT_EQ(kindOf(reply), SntpReplyKind::NotAnAnswer);
}

// An answer whose figures must not be used: the server says it is not
// synchronised, or what it says cannot be true of a working server.
TEST(SntpReply, AnswersThatCannotBeUsedSayWhy) {
    struct Case {
        const char* what;
        size_t at;
        std::vector<uint8_t> bytes;
        const char* reason;
    };
    const Case cases[] = {
        {"leap indicator 3", 0, {0xE4}, "server not synchronised"},
        {"stratum 16", 1, {16}, "server not synchronised"},
        {"stratum 255", 1, {255}, "server not synchronised"},
        {"no transmit", 40, {0, 0, 0, 0, 0, 0, 0, 0}, "reply without a transmit time"},
        {"receive 2 s before transmit", 32, {0xCD, 0xCE, 0x41, 0x3E}, "receive and transmit times a second apart"},
        {"root delay 16 s", 4, {0x00, 0x10, 0x00, 0x00}, "server too far from its reference"},
        {"root dispersion 20 s", 8, {0x00, 0x14, 0x00, 0x00}, "server too far from its reference"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> reply = answer();
        std::copy(c.bytes.begin(), c.bytes.end(), reply.begin() + static_cast<std::ptrdiff_t>(c.at));
        const SntpReplyCheck check = checkSntpReply(reply, kSent);
        EXPECT_EQ(check.kind, SntpReplyKind::Unusable) << c.what;
        EXPECT_STREQ(check.reason, c.reason) << c.what;
    }
    // Leap indicators 1 and 2 announce a leap second: still good.
    std::vector<uint8_t> reply = answer();
    reply[0] = 0x64;
    EXPECT_EQ(checkSntpReply(reply, kSent).kind, SntpReplyKind::Usable);
    // Just under the limits.
    reply = answer();
    writeWord(reply.data() + 4, (16u << 16) - 1);
    writeWord(reply.data() + 8, (16u << 16) - 1);
    EXPECT_EQ(checkSntpReply(reply, kSent).kind, SntpReplyKind::Usable);
}

TEST(SntpReply, AKissCountsOnlyAsAnAnswer) {
    std::vector<uint8_t> reply = answer();
    reply[0] = 0xE4;
    reply[1] = 0;
    std::memcpy(reply.data() + 12, "RATE", 4);
    const SntpReplyCheck check = checkSntpReply(reply, kSent);
    EXPECT_EQ(check.kind, SntpReplyKind::Kiss);
    EXPECT_EQ(check.kiss, "RATE");
}

// A reply whose server takes its time from this computer: its reference
// identifier is one of our addresses (IPv6 by the first four bytes of its
// MD5, RFC 5905).
TEST(SntpReply, AReferenceToOneOfOurAddressesIsOurOwnTimeComingBack) {
    const platform::NetAddress own4 = platform::NetAddress::v4(0x7F000001);
    platform::NetAddress own6;
    ASSERT_TRUE(platform::parseAddress("2001:db8::1", own6));
    EXPECT_EQ(referenceIdOf(own4), 0x7F000001u);
    // MD5 of the sixteen bytes of 2001:db8::1 begins 0x39ab9b37 (computed
    // independently with Python's hashlib).
    EXPECT_EQ(referenceIdOf(own6), 0x39AB9B37u);
    SntpReplyCheck check = checkSntpReply(answer(), kSent);
    check.referenceId = 0x7F000001;
    EXPECT_TRUE(namesOwnAddress(check, {own4}));
    EXPECT_FALSE(namesOwnAddress(check, {own6}));
    check.referenceId = referenceIdOf(own6);
    EXPECT_TRUE(namesOwnAddress(check, {own4, own6}));
    check.stratum = 1;  // a reference clock's name, not an address
    EXPECT_FALSE(namesOwnAddress(check, {own4, own6}));
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

}  // namespace
}  // namespace tavrel
