// What the tray entry's tooltip says of the clock at a glance.
#include <gtest/gtest.h>

#include "ui/tray.h"

namespace tavrel {
namespace {

constexpr platform::FileTime kSecond = 10'000'000;
constexpr platform::FileTime kNow = 134'000'000'000'000'000;

HistoryEntry good(const char* outcome, const char* protocol, double offset, platform::FileTime when) {
    HistoryEntry entry;
    entry.when = when;
    entry.action = "Correct";
    entry.server = "time.example.org";
    entry.protocol = protocol;
    entry.offsetSeconds = offset;
    entry.roundTripMs = 40;
    entry.outcome = outcome;
    return entry;
}

TEST(TrayTip, SaysTheClockIsNotSynchronisedBeforeAnySuccess) {
    EXPECT_EQ(clockAtAGlance(ClockStanding{}, std::nullopt, kNow), "Not synchronised");
}

TEST(TrayTip, NamesTheLastSuccessItsServerOffsetAndBound) {
    ClockStanding standing;
    standing.lastSync = kNow - 90 * kSecond;
    standing.lastSyncRoundTripMs = 40;
    const std::string tip =
        clockAtAGlance(standing, good("Corrected", "NTS", -0.0126, kNow - 90 * kSecond), kNow);
    EXPECT_EQ(tip, "Synchronised\r\nCorrected 1 min ago from time.example.org (NTS)\r\nOffset -0.013 s \xC2\xB1 0.020 s");
}

TEST(TrayTip, AnOldSuccessNoLongerCountsAsSynchronised) {
    ClockStanding standing;
    standing.lastSync = kNow - 3 * 86'400 * kSecond;
    standing.lastSyncErrorMs = 1000;  // TIME's whole seconds
    const std::string tip =
        clockAtAGlance(standing, good("Checked", "TIME", 2.0, kNow - 3 * 86'400 * kSecond), kNow);
    EXPECT_TRUE(tip.starts_with("Not synchronised\r\nChecked 3 days ago from time.example.org\r\n")) << tip;
    EXPECT_NE(tip.find("\xC2\xB1 1.000 s"), std::string::npos) << tip;
}

}  // namespace
}  // namespace tavrel
