#include <gtest/gtest.h>

#include "engine/clock_correction.h"
#include "platform/time.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_values.h"

namespace tavrel {
namespace {

using test::fileTimeOf;

using platform::FileTime;



TEST(WholeSecondRoute, AddsTheTimeSinceTheReplyInMilliseconds) {
    EXPECT_EQ(wholeSecondClock(3'452'846'400u, 1500), fileTimeOf(2009, 6, 1, 12, 0, 1, 500));
    EXPECT_EQ(wholeSecondClock(3'452'846'400u, 1023), fileTimeOf(2009, 6, 1, 12, 0, 1, 23));
}

TEST(UserOffset, FiveMinutesSubtracted) {
    const FileTime n = wholeSecondClock(3'452'846'400u, 1000);
    EXPECT_EQ(n - static_cast<FileTime>(userOffsetUnits(5, OffsetUnit::Minutes)), fileTimeOf(2009, 6, 1, 11, 55, 1));
    EXPECT_EQ(userOffsetUnits(99, OffsetUnit::Hours), 99LL * 3600 * 10'000'000);
    EXPECT_EQ(userOffsetUnits(7, OffsetUnit::Seconds), 7LL * 10'000'000);
}

// Minutes and seconds only: the server's minutes in the clock's hour, the
// hour before or the hour after, whichever changes the clock least, however
// many hours the two lie apart.
TEST(MinorOnly, TakesTheNearestHourAtAnyOffset) {
    // Clock 10:59:58, server 11:00:01: 3 s forward, not an hour back.
    EXPECT_EQ(minorOnlyClock(fileTimeOf(2009, 6, 1, 11, 0, 1), fileTimeOf(2009, 6, 1, 10, 59, 58)),
              fileTimeOf(2009, 6, 1, 11, 0, 1));
    EXPECT_EQ(minorOnlyClock(fileTimeOf(2009, 6, 1, 10, 59, 58), fileTimeOf(2009, 6, 1, 11, 0, 1)),
              fileTimeOf(2009, 6, 1, 10, 59, 58));
    // Clock 16:04:05, server 16:39:05: 25 minutes back into the hour before
    // is a smaller change than 35 minutes forward.
    EXPECT_EQ(minorOnlyClock(fileTimeOf(2009, 6, 1, 16, 39, 5), fileTimeOf(2009, 6, 1, 16, 4, 5)),
              fileTimeOf(2009, 6, 1, 15, 39, 5));
    // The server 3 h behind with the minutes either side of the hour
    // (clock 12:00:04, server 08:59:57): 7 s back, not an hour forward.
    EXPECT_EQ(minorOnlyClock(fileTimeOf(2009, 6, 1, 8, 59, 57), fileTimeOf(2009, 6, 1, 12, 0, 4)),
              fileTimeOf(2009, 6, 1, 11, 59, 57));
    EXPECT_EQ(minorOnlyClock(fileTimeOf(2009, 6, 1, 15, 0, 2), fileTimeOf(2009, 6, 1, 10, 59, 55)),
              fileTimeOf(2009, 6, 1, 11, 0, 2));
    // Hours apart: only minutes and seconds move.
    EXPECT_EQ(minorOnlyClock(fileTimeOf(2009, 6, 1, 15, 20, 30), fileTimeOf(2009, 6, 1, 10, 21, 0)),
              fileTimeOf(2009, 6, 1, 10, 20, 30));
    EXPECT_EQ(minorOnlyClock(fileTimeOf(2009, 6, 1, 15, 50, 30), fileTimeOf(2009, 6, 1, 10, 5, 0)),
              fileTimeOf(2009, 6, 1, 9, 50, 30));
    // Across midnight the date follows.
    EXPECT_EQ(minorOnlyClock(fileTimeOf(2009, 6, 2, 0, 0, 2), fileTimeOf(2009, 6, 1, 23, 59, 59)),
              fileTimeOf(2009, 6, 2, 0, 0, 2));
}

// An SNTP offset beyond about 17 days is not applied as measured, however
// it points: the clock fast or slow, the whole-second route is taken.
TEST(LargeOffsets, EitherSideTakesTheWholeSecondRoute) {
    test::TempDir dir;
    test::resetProcessState(dir.path(), dir.path());
    applyDefaults();
    constexpr int64_t kDay = 86'400LL * 10'000'000;
    for (const int64_t offset : {20 * kDay, -20 * kDay}) {
        QueryResult reply;
        reply.accepted = true;
        reply.offsetMeasured = true;
        reply.offsetUnits = offset;
        reply.serverSeconds = 3'452'846'400u;
        reply.replyTick = platform::getTickCount();
        bool forceTimeProtocol = false;
        const Correction c = correctClock(CorrectionMode::Check, reply, true, forceTimeProtocol, "server");
        EXPECT_TRUE(forceTimeProtocol) << offset;
        ASSERT_TRUE(c.serverClock.has_value());
    }
    QueryResult small;
    small.accepted = true;
    small.offsetMeasured = true;
    small.offsetUnits = 16 * kDay;
    bool forceTimeProtocol = false;
    (void)correctClock(CorrectionMode::Check, small, true, forceTimeProtocol, "server");
    EXPECT_FALSE(forceTimeProtocol);
}

TEST(SecondsFigure, WorkedExamples) {
    EXPECT_EQ(formatSecondsFigure(15'000'000), "1.50000");
    EXPECT_EQ(formatSecondsFigure(-2'500'000), "- 0.25000");
    EXPECT_EQ(formatSecondsFigure(-45'000'000), "-4.50000");
    EXPECT_EQ(formatSecondsFigure(9'999'999), "0.99999");
    EXPECT_EQ(formatSecondsFigure(120'000'000), "12.00000");
    EXPECT_EQ(formatSecondsFigure(0), "0.00000");
    EXPECT_EQ(formatSecondsFigure(INT64_MIN), "-922337203685.47758");
}

class DifferenceText : public ::testing::Test {
protected:
    void SetUp() override {
        stringTable() = StringTable{};
        ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
        applyDefaults();
    }
    // 0.12345 s measured, 120 ms round trip.
    Difference difference{true, 1'234'500, 120};
};

TEST_F(DifferenceText, StatusForm) {
    EXPECT_EQ(formatDifference(DifferenceForm::Status, difference), "Time Corrected by 0.12345 Scs in 120 ms");
    settings.logResponse.store(false);
    EXPECT_EQ(formatDifference(DifferenceForm::Status, difference), "Time Corrected by 0.12345 Scs in 120 ms");
}

TEST_F(DifferenceText, CheckForm) {
    settings.logResponse.store(false);
    EXPECT_EQ(formatDifference(DifferenceForm::Check, difference), "Difference found as 0.12345 Scs");
    settings.logResponse.store(true);
    EXPECT_EQ(formatDifference(DifferenceForm::Check, difference), "Difference found as 0.12345 Scs in 120 ms");
}

TEST_F(DifferenceText, LogFormFollowsTheLogFlags) {
    EXPECT_EQ(formatDifference(DifferenceForm::Log, difference), "Time Corrected by 0.12345 Scs in 120 ms");
    settings.logCorrection.store(false);
    EXPECT_EQ(formatDifference(DifferenceForm::Log, difference), "Time Corrected in 120 ms");
    settings.logResponse.store(false);
    EXPECT_EQ(formatDifference(DifferenceForm::Log, difference), "Time Corrected");
}

TEST_F(DifferenceText, NoFigureAfterATimeQuery) {
    settings.logResponse.store(false);
    EXPECT_EQ(formatDifference(DifferenceForm::Check, Difference{false, 0, 120}), "Difference found ");
}

TEST_F(DifferenceText, FiguresAreExact) {
    // 300 s and 20 days, which read 299.65 and 1,726,001.5 when the figure
    // was taken as a scaled offset.
    EXPECT_EQ(formatDifference(DifferenceForm::Status, Difference{true, 300 * 10'000'000LL, 7}),
              "Time Corrected by 300.00000 Scs in 7 ms");
    EXPECT_EQ(formatDifference(DifferenceForm::Status, Difference{true, 20 * 86'400 * 10'000'000LL, 7}),
              "Time Corrected by 1728000.00000 Scs in 7 ms");
    EXPECT_EQ(formatDifference(DifferenceForm::Status, Difference{true, -2'500'000, 7}),
              "Time Corrected by - 0.25000 Scs in 7 ms");
}

}  // namespace
}  // namespace tavrel
