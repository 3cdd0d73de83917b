#include "protocol/sntp_handler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/time_values.h"

namespace tavrel {
namespace {

platform::NetAddress v4(uint32_t address, uint16_t port = 40000) {
    return platform::NetAddress::v4(platform::Ipv4Address{address}, port);
}

platform::NetAddress v6(std::initializer_list<uint8_t> head, uint16_t port = 40000) {
    platform::NetAddress a;
    a.family = platform::AddressFamily::V6;
    size_t i = 0;
    for (uint8_t b : head) a.bytes[i++] = b;
    a.port = port;
    return a;
}

class Handler : public ::testing::Test {
protected:
    // Sends one v4 client request; what the server decided.
    SntpDecision ask(SntpRequestHandler& handler, const platform::NetAddress& from, uint64_t nowMs) {
        uint8_t request[48] = {};
        request[0] = 0x23;
        request[47] = 7;
        return handler.handle(request, sizeof request, from, nowMs, arrived, clock, reply);
    }
    const platform::FileTime arrived = test::fileTimeOf(2026, 12, 8, 12);
    const ServedClock clock = servedClockAt(ClockStanding{arrived, 10, 0, false, 0}, arrived);
    uint8_t reply[48] = {};
};

// One address asking a thousand times a second for 20 s is answered for
// its burst and then once every 2 s; one request in four of the rest gets a
// RATE kiss. A second address asking once a second meanwhile gets every
// answer.
TEST_F(Handler, AnAbusiveClientIsLimitedWhileAPoliteOneIsServed) {
    SntpRequestHandler handler;
    int answered = 0, kissed = 0, dropped = 0, politeAnswered = 0;
    const platform::NetAddress abuser = v4(0x0A000001), polite = v4(0x0A000002);
    for (uint64_t ms = 0; ms < 20'000; ++ms) {
        switch (ask(handler, abuser, ms)) {
            case SntpDecision::Answer: ++answered; break;
            case SntpDecision::Kiss: {
                ++kissed;
                std::string code;
                EXPECT_TRUE(readKissCode(std::span<const uint8_t>(reply, 48), code));
                EXPECT_EQ(code, "RATE");
                break;
            }
            case SntpDecision::Drop: ++dropped; break;
        }
        if (ms % 1000 == 500) politeAnswered += ask(handler, polite, ms) == SntpDecision::Answer;
    }
    EXPECT_LT(answered, 2000);  // under 10% of 20,000
    EXPECT_GE(answered, 16);
    EXPECT_NEAR(kissed, (20'000 - answered) / 4, 30);
    EXPECT_EQ(politeAnswered, 20);
    // An IPv6 client is one /64: another host of the same /64 shares its
    // allowance, another /64 has its own.
    for (int i = 0; i < 16; ++i) EXPECT_EQ(ask(handler, v6({0x20, 0x01, 0xD, 0xB8, 0, 0, 0, 1, 0, 1}), 30'000), SntpDecision::Answer);
    EXPECT_NE(ask(handler, v6({0x20, 0x01, 0xD, 0xB8, 0, 0, 0, 1, 0, 2}), 30'000), SntpDecision::Answer);
    EXPECT_EQ(ask(handler, v6({0x20, 0x01, 0xD, 0xB8, 0, 0, 0, 2}), 30'000), SntpDecision::Answer);
}

// The table of clients stays bounded: ten thousand addresses asking once
// are all answered, and the limits still hold for a client asking hard.
TEST_F(Handler, ManyClientsAreAllAnsweredOnce) {
    SntpRequestHandler handler;
    int answered = 0;
    for (uint32_t i = 0; i < 10'000; ++i) answered += ask(handler, v4(0x0A010000 + i), i) == SntpDecision::Answer;
    EXPECT_EQ(answered, 10'000);
    int hard = 0;
    for (int i = 0; i < 100; ++i) hard += ask(handler, v4(0x0B000001), 10'000) == SntpDecision::Answer;
    EXPECT_EQ(hard, 16);
}

TEST_F(Handler, WithLimitsOffEveryRequestIsAnswered) {
    SntpRequestHandler handler(false);
    int answered = 0;
    for (uint64_t ms = 0; ms < 1000; ++ms) answered += ask(handler, v4(0x0A000001), ms) == SntpDecision::Answer;
    EXPECT_EQ(answered, 1000);
}

// Sources no client has are someone's forgery: never answered.
TEST_F(Handler, SpoofedSourcesAreDropped) {
    SntpRequestHandler handler(false);
    for (const platform::NetAddress& from :
         {v4(0x7F000001, 0), v4(0xFFFFFFFF), v4(0xE0000001), v4(0xEFFFFFFA), v4(0), v6({0xFF, 0x02}), v6({})}) {
        EXPECT_EQ(ask(handler, from, 0), SntpDecision::Drop);
    }
    EXPECT_EQ(ask(handler, v4(0x7F000001), 0), SntpDecision::Answer);
    EXPECT_EQ(ask(handler, v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), 0), SntpDecision::Answer);
}

// A request in pieces is joined from its own sender only, within half a
// second; anything but a client's request is dropped.
TEST_F(Handler, PiecesJoinFromOneSenderAndOnlyClientRequestsAreAnswered) {
    SntpRequestHandler handler(false);
    uint8_t request[48] = {};
    request[0] = 0x1B;
    const platform::NetAddress a = v4(0x0A000001), b = v4(0x0A000002);
    EXPECT_EQ(handler.handle(request, 20, a, 0, arrived, clock, reply), SntpDecision::Drop);
    EXPECT_EQ(handler.handle(request + 20, 28, b, 1, arrived, clock, reply), SntpDecision::Drop);
    EXPECT_EQ(handler.handle(request + 20, 28, a, 2, arrived, clock, reply), SntpDecision::Answer);
    EXPECT_EQ(reply[0] & 7, 4);
    EXPECT_EQ(handler.handle(request, 20, a, 10, arrived, clock, reply), SntpDecision::Drop);
    EXPECT_EQ(handler.handle(request + 20, 28, a, 1000, arrived, clock, reply), SntpDecision::Drop);  // too late
    request[0] = 0x24;  // a server's reply
    EXPECT_EQ(handler.handle(request, 48, a, 2000, arrived, clock, reply), SntpDecision::Drop);
}

}  // namespace
}  // namespace tavrel
