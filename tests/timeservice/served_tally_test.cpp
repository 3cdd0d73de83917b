#include <gtest/gtest.h>

#include "timeservice/served_tally.h"

namespace tavrel {
namespace {

platform::NetAddress client(uint32_t n) { return platform::NetAddress::v4(0x0A000000u + n, 123); }

constexpr uint64_t kMinute = ServedTally::kMinuteMs;

TEST(ServedTally, AClientsFirstRequestEachMinuteHasALine) {
    ServedTally tally;
    EXPECT_TRUE(tally.served(client(1), 1000));
    for (uint64_t t = 1001; t < 1000 + kMinute; t += 997) EXPECT_FALSE(tally.served(client(1), t));
    EXPECT_TRUE(tally.served(client(1), 1000 + kMinute));
    EXPECT_TRUE(tally.served(client(2), 2000));
}

TEST(ServedTally, TheRestGoesIntoOneSummaryAMinute) {
    ServedTally tally;
    uint64_t t = 0;
    for (int i = 0; i < 30'000; ++i, t += 1) (void)tally.served(client(static_cast<uint32_t>(i % 3)), t);
    EXPECT_FALSE(tally.summaryDue(t).has_value());  // not a minute yet
    const auto summary = tally.summaryDue(kMinute);
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->requests, 30'000u - 3);
    EXPECT_EQ(summary->clients, 3u);
    EXPECT_FALSE(tally.summaryDue(kMinute + 10).has_value());
    EXPECT_FALSE(tally.summaryDue(2 * kMinute).has_value());  // nothing unwritten since
}

// Forged sources by the thousand earn at most a fixed number of lines a
// minute and keep the table bounded; the rest is counted.
TEST(ServedTally, ManyClientsEarnAFixedNumberOfLines) {
    ServedTally tally;
    uint64_t lines = 0;
    for (uint32_t i = 0; i < 100'000; ++i) lines += tally.served(client(i), 5000) ? 1u : 0u;
    EXPECT_EQ(lines, ServedTally::kMostLinesAMinute);
    const auto summary = tally.summaryDue(5000 + kMinute);
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->requests, 100'000u - ServedTally::kMostLinesAMinute);
    EXPECT_TRUE(tally.served(client(7), 5000 + kMinute));  // a new minute, new lines
}

// Clients taking turns, more of them than the table of lined clients
// holds: each is counted once, and every request is either a line or in
// the summary written at the end, before a minute has passed.
TEST(ServedTally, ClientsTakingTurnsAreCountedOnceAndNothingIsLostAtTheEnd) {
    for (const uint32_t clients : {2'000u, 50'000u}) {
        ServedTally tally;
        uint64_t lines = 0;
        uint64_t t = 1000;
        for (int round = 0; round < 5; ++round) {
            for (uint32_t i = 0; i < clients; ++i) lines += tally.served(client(i), t) ? 1u : 0u;
            t += 1000;
        }
        EXPECT_FALSE(tally.summaryDue(t).has_value());
        const auto summary = tally.summaryNow(t);
        ASSERT_TRUE(summary.has_value());
        EXPECT_EQ(summary->requests + lines, 5u * clients);
        const double counted = static_cast<double>(summary->clients);
        EXPECT_NEAR(counted, clients, 0.05 * clients) << clients << " clients";
        EXPECT_EQ(summary->clientsEstimated, clients > DistinctCounter::kExact);
        EXPECT_FALSE(tally.summaryNow(t).has_value());  // all told
    }
}

}  // namespace
}  // namespace tavrel
