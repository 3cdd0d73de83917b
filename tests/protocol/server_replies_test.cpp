#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/time_protocol.h"
#include "tests/support/time_values.h"
#include "protocol/server_replies.h"

namespace tavrel {
namespace {

using test::fileTimeOf;
using test::makeTime;

std::vector<uint8_t> bytes(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }

TEST(TimeReply, UnixEpochAndWholeSeconds) {
    uint8_t reply[4];
    buildTimeReply(fileTimeOf(1970, 1, 1), reply);
    EXPECT_EQ(bytes(reply, 4), (std::vector<uint8_t>{0x83, 0xAA, 0x7E, 0x80}));
    buildTimeReply(fileTimeOf(2009, 6, 1, 12, 0, 0, 999), reply);
    EXPECT_EQ(readWord(reply, 0), 3'452'846'400u);
}

TEST(TimeReply, SecondsWrapIntoTheNextEraIn2036) {
    uint8_t reply[4];
    buildTimeReply(fileTimeOf(2036, 2, 7, 6, 28, 17), reply);
    EXPECT_EQ(readWord(reply, 0), 1u);
    EXPECT_EQ(wireSecondsToFileTime(readWord(reply, 0)), fileTimeOf(2036, 2, 7, 6, 28, 17));
}

class SntpReplyLayout : public ::testing::Test {
protected:
    uint8_t packet[48] = {};
    void SetUp() override {
        packet[0] = 0x23;  // v4 client
        for (int i = 40; i < 48; ++i) packet[i] = static_cast<uint8_t>(0xA0 + i);
    }
};

TEST_F(SntpReplyLayout, FixedHeaderAndSmallRootFigures) {
    buildSntpReply(packet, makeTime(2009, 6, 1, 12, 0, 0, 500));
    EXPECT_EQ(bytes(packet, 4), (std::vector<uint8_t>{0x1C, 0x02, 0x06, 0xF6}));
    // Root delay and dispersion in 16.16 seconds: well under a second.
    EXPECT_LT(readWord(packet, 4), 0x00010000u);
    EXPECT_LT(readWord(packet, 8), 0x00010000u);
}

TEST_F(SntpReplyLayout, ReferenceIdentifierKeepsTheRequestsLastBytes) {
    buildSntpReply(packet, makeTime(2009, 6, 1, 12, 0, 0, 0));
    EXPECT_EQ(bytes(packet + 12, 4), (std::vector<uint8_t>{0x64, 0, 0, 0}));
    uint8_t other[48] = {};
    other[12] = 9;
    other[13] = 1;
    other[14] = 2;
    other[15] = 3;
    buildSntpReply(other, makeTime(2009, 6, 1, 12, 0, 0, 0));
    EXPECT_EQ(bytes(other + 12, 4), (std::vector<uint8_t>{0x64, 1, 2, 3}));
}

TEST_F(SntpReplyLayout, OriginateIsTheRequestsTransmitTimestamp) {
    const std::vector<uint8_t> transmitted = bytes(packet + 40, 8);
    buildSntpReply(packet, makeTime(2009, 6, 1, 12, 0, 0, 0));
    EXPECT_EQ(bytes(packet + 24, 8), transmitted);
}

TEST_F(SntpReplyLayout, TimestampsCarryTheReadingInMillisecondSteps) {
    buildSntpReply(packet, makeTime(2009, 6, 1, 12, 0, 0, 500));
    for (size_t at : {16u, 32u, 40u}) {
        EXPECT_EQ(readWord(packet, at), 3'452'846'400u) << at;
        EXPECT_EQ(readWord(packet, at + 4), 2'147'483'500u) << at;
    }
    buildSntpReply(packet, makeTime(2009, 6, 1, 12, 0, 0, 999));
    EXPECT_EQ(readWord(packet, 44), 4'290'672'033u);
}

}  // namespace
}  // namespace tavrel
