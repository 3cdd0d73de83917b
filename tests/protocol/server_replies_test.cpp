#include <gtest/gtest.h>

#include <cstring>
#include <span>
#include <string>
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
    const platform::FileTime received = fileTimeOf(2009, 6, 1, 12, 0, 0, 500);
    // Corrected an hour before, over a 20 ms round trip.
    const ServedClock good = servedClockAt(ClockStanding{received - 3600ULL * 10'000'000, 20, 0, false, 0}, received);
};

TEST_F(SntpReplyLayout, HeaderAnswersInTheRequestsVersion) {
    buildSntpReply(packet, received, received, good);
    EXPECT_EQ(bytes(packet, 4), (std::vector<uint8_t>{0x24, 0x02, 0x06, 0xF6}));
    packet[0] = 0x1B;  // v3 client
    buildSntpReply(packet, received, received, good);
    EXPECT_EQ(packet[0], 0x1C);
    // Root delay and dispersion in 16.16 seconds: well under a second.
    EXPECT_LT(readWord(packet, 4), 0x00010000u);
    EXPECT_LT(readWord(packet, 8), 0x00010000u);
}

// Only a client's request is answered: never a server's reply (two
// servers would answer each other for ever), a broadcast or a control
// message, nor a version no client uses.
TEST(SntpRequests, OnlyClientRequestsAreAnswered) {
    uint8_t packet[48] = {};
    int answered = 0;
    for (int version = 0; version < 8; ++version) {
        for (int mode = 0; mode < 8; ++mode) {
            packet[0] = static_cast<uint8_t>((version << 3) | mode);
            if (isSntpClientRequest(packet)) {
                ++answered;
                EXPECT_EQ(mode, 3);
            }
        }
    }
    EXPECT_EQ(answered, 4);  // versions 1 to 4
}

// The reference identifier names the clock's source, never bytes of the
// request: a client can then tell when its own time would come back.
TEST_F(SntpReplyLayout, ReferenceIdentifierNamesTheSource) {
    ServedClock sourced = good;
    sourced.referenceId = 0x7F000003;
    uint8_t other[48] = {};
    other[0] = 0x23;
    other[12] = 9;
    other[13] = 1;
    buildSntpReply(other, received, received, sourced);
    EXPECT_EQ(bytes(other + 12, 4), (std::vector<uint8_t>{0x7F, 0, 0, 3}));
    ClockStanding standing;
    standing.lastSync = received;
    standing.sourceReferenceId = 0x7F000003;
    EXPECT_EQ(servedClockAt(standing, received).referenceId, 0x7F000003u);
}

TEST_F(SntpReplyLayout, OriginateIsTheRequestsTransmitTimestamp) {
    const std::vector<uint8_t> transmitted = bytes(packet + 40, 8);
    buildSntpReply(packet, received, received, good);
    EXPECT_EQ(bytes(packet + 24, 8), transmitted);
}

TEST_F(SntpReplyLayout, ReceiveAndTransmitTimesAtFullPrecision) {
    buildSntpReply(packet, received + 1234, received + 5678, good);
    EXPECT_EQ(readWord(packet, 32), 3'452'846'400u);
    EXPECT_EQ(ntpToFileTime(readWord(packet, 32), readWord(packet, 36)), received + 1234);
    EXPECT_EQ(ntpToFileTime(readWord(packet, 16), readWord(packet, 20)), received - 3600ULL * 10'000'000);
    // Back to within one 100-ns unit (the 2^-32 s fraction is finer).
    const platform::FileTime sent = ntpToFileTime(readWord(packet, 40), readWord(packet, 44));
    EXPECT_LE(received + 5678 - sent, 1u);
}

// What a reply says of the server's clock follows what is known of it: a
// clock nobody checked is an alarm that clients refuse; one corrected
// within a day (or kept by another daemon with a small error) serves as
// stratum 2 with the correction's time, delay and a dispersion that grows.
TEST_F(SntpReplyLayout, TheClockIsServedAsWhatIsKnownOfIt) {
    const platform::FileTime hour = 3600ULL * 10'000'000;
    struct Case {
        const char* what;
        ClockStanding standing;
        bool synchronised;
    } cases[] = {
        {"never corrected", ClockStanding{}, false},
        {"corrected an hour ago", ClockStanding{received - hour, 20, 0, false, 0}, true},
        {"corrected 25 hours ago", ClockStanding{received - 25 * hour, 20, 0, false, 0}, false},
        {"kept by a daemon to 0.5 s", ClockStanding{0, 0, 0, true, 500'000}, true},
        {"kept by a daemon to 2 s", ClockStanding{0, 0, 0, true, 2'000'000}, false},
        {"said unsynchronised by the system", ClockStanding{0, 0, 0, false, 100}, false},
    };
    for (const Case& c : cases) {
        SetUp();
        buildSntpReply(packet, received, received, servedClockAt(c.standing, received));
        const int leap = packet[0] >> 6;
        if (c.synchronised) {
            EXPECT_EQ(leap, 0) << c.what;
            EXPECT_EQ(packet[1], 2) << c.what;
        } else {
            EXPECT_EQ(leap, 3) << c.what;
            EXPECT_EQ(packet[1], 16) << c.what;
        }
        EXPECT_EQ(packet[0] & 7, 4) << c.what;
    }
    // Corrected an hour ago over 20 ms: the reference is the correction,
    // the delay its round trip, the dispersion half of the round trip (a
    // trip counted as 20 ms may have lasted up to 21) + 3600 s x 15 us =
    // 64.5 ms.
    buildSntpReply(packet, received, received, good);
    EXPECT_EQ(ntpToFileTime(readWord(packet, 16), readWord(packet, 20)), received - hour);
    EXPECT_NEAR(readWord(packet, 4) / 65536.0, 0.020, 0.0001);
    EXPECT_NEAR(readWord(packet, 8) / 65536.0, 0.0645, 0.0001);
}

TEST_F(SntpReplyLayout, ARateKissIsStratumZeroWithTheRequestsStamp) {
    const std::vector<uint8_t> transmitted = bytes(packet + 40, 8);
    buildRateKiss(packet, received);
    std::string code;
    EXPECT_TRUE(readKissCode(std::span<const uint8_t>(packet, 48), code));
    EXPECT_EQ(code, "RATE");
    EXPECT_EQ(packet[0] & 7, 4);
    EXPECT_EQ(bytes(packet + 24, 8), transmitted);
}

// A Check or Correct vouches only for what it found of the clock: the
// offset a Check left, the rest of a slew, half the round trip; beyond a
// second the clock is not served as synchronised. The dispersion then
// grows at the standing's rate; the stratum, delay and dispersion build on
// the source's own; a leap second is served until its day ends.
TEST(ServedClock, SaysWhatTheLastCheckOrCorrectFound) {
    const platform::FileTime at = fileTimeOf(2016, 12, 31, 12, 0, 0);
    constexpr platform::FileTime second = 10'000'000;
    auto seconds16 = [](uint32_t v) { return v / 65536.0; };
    ClockStanding check;
    check.lastSync = at;
    check.lastSyncRoundTripMs = 20;
    check.offsetFound = -9'000'000;  // found 0.9 s off, left so
    ServedClock c = servedClockAt(check, at);
    EXPECT_TRUE(c.synchronised);
    EXPECT_GE(seconds16(c.rootDispersion), 0.9 + 0.01 - 0.0001);
    EXPECT_LT(seconds16(c.rootDispersion), 0.92);
    // A loopback round trip counted as 0 ms still bounds the error: the
    // dispersion is never under what was found.
    check.lastSyncRoundTripMs = 0;
    c = servedClockAt(check, at);
    EXPECT_GE(seconds16(c.rootDispersion), 0.9 + 0.0005 - 1 / 65536.0);
    check.offsetFound = 12'000'000;  // 1.2 s: not known good
    c = servedClockAt(check, at);
    EXPECT_FALSE(c.synchronised);
    uint8_t packet[48] = {0x23};
    buildSntpReply(packet, at, at, c);
    EXPECT_EQ(packet[0] >> 6, 3);
    EXPECT_EQ(packet[1], 16);

    // A slew of 0.45 s over 900 s: what is still to run shrinks to nothing.
    ClockStanding slew;
    slew.lastSync = at;
    slew.slewAmount = -4'500'000;
    slew.slewEnd = at + 900 * second;
    slew.dispersionRatePpm = 0;
    EXPECT_NEAR(seconds16(servedClockAt(slew, at).rootDispersion), 0.45, 0.001);
    EXPECT_NEAR(seconds16(servedClockAt(slew, at + 450 * second).rootDispersion), 0.225, 0.001);
    EXPECT_NEAR(seconds16(servedClockAt(slew, at + 900 * second).rootDispersion), 0, 0.001);
    EXPECT_NEAR(seconds16(servedClockAt(slew, at + 2000 * second).rootDispersion), 0, 0.001);

    // The growth follows the standing's rate.
    ClockStanding step;
    step.lastSync = at;
    EXPECT_NEAR(seconds16(servedClockAt(step, at + 10'000 * second).rootDispersion), 0.15, 0.001);  // 15 ppm
    step.dispersionRatePpm = 1;
    EXPECT_NEAR(seconds16(servedClockAt(step, at + 10'000 * second).rootDispersion), 0.01, 0.001);

    // The source's own standing: stratum 3 with 100 ms delay and 50 ms
    // dispersion, asked over 20 ms.
    step.dispersionRatePpm = 0;
    step.lastSyncRoundTripMs = 20;
    step.upstreamStratum = 3;
    step.upstreamRootDelay = 6554;        // 0.1 s
    step.upstreamRootDispersion = 3277;   // 0.05 s
    c = servedClockAt(step, at);
    EXPECT_EQ(c.stratum, 4);
    EXPECT_NEAR(seconds16(c.rootDelay), 0.12, 0.001);
    EXPECT_NEAR(seconds16(c.rootDispersion), 0.06, 0.001);
    buildSntpReply(packet, at, at, c);
    EXPECT_EQ(packet[1], 4);
    step.upstreamStratum = 15;  // one more would be 16: unsynchronised
    EXPECT_FALSE(servedClockAt(step, at).synchronised);
    step.upstreamStratum = 0;  // TIME names none: taken as 1
    EXPECT_EQ(servedClockAt(step, at).stratum, 2);

    // A leap second announced for today's end, served until midnight UTC.
    step.leap = platform::LeapState::Insert;
    step.leapUntil = fileTimeOf(2017, 1, 1);
    buildSntpReply(packet, at, at, servedClockAt(step, at));
    EXPECT_EQ(packet[0] >> 6, 1);
    const platform::FileTime after = fileTimeOf(2017, 1, 1, 0, 0, 1);
    buildSntpReply(packet, after, after, servedClockAt(step, after));
    EXPECT_EQ(packet[0] >> 6, 0);
}

// Every byte of a reply but the originate is the server's own: two
// requests that differ everywhere else get the same reply.
TEST(ServedClock, NoByteOfTheRequestComesBackButTheOriginate) {
    const platform::FileTime at = fileTimeOf(2020, 5, 1, 8, 0, 0);
    ClockStanding standing;
    standing.lastSync = at;
    standing.sourceReferenceId = 0x7F000003;
    const ServedClock clock = servedClockAt(standing, at);
    uint8_t a[48];
    uint8_t b[48];
    for (size_t i = 0; i < 48; ++i) {
        a[i] = static_cast<uint8_t>(0x55 + i);
        b[i] = static_cast<uint8_t>(0xA0 ^ (i * 7));
    }
    a[0] = 0x23;
    b[0] = 0x23;
    std::memcpy(b + 40, a + 40, 8);
    buildSntpReply(a, at, at, clock);
    buildSntpReply(b, at, at, clock);
    EXPECT_EQ(bytes(a, 48), bytes(b, 48));
    EXPECT_EQ(readWord(a, 12), 0x7F000003u);
}

}  // namespace
}  // namespace tavrel
