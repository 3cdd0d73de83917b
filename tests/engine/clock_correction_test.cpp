#include <gtest/gtest.h>

#include "engine/clock_correction.h"
#include "engine/time_query.h"
#include "platform/time.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "tests/support/time_values.h"

namespace tavrel {
namespace {

using test::fileTimeOf;

using platform::FileTime;


int64_t fixed(int32_t seconds, uint32_t fraction) {
    return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(seconds)) << 32) | fraction);
}

TEST(WholeSecondRoute, AddsTheTimeSinceTheReplyInUnitsOf1024Ms) {
    EXPECT_EQ(wholeSecondClock(3'452'846'400u, 1500), fileTimeOf(2009, 6, 1, 12, 0, 1));
    EXPECT_EQ(wholeSecondClock(3'452'846'400u, 1023), fileTimeOf(2009, 6, 1, 12, 0, 0));
}

TEST(UserOffset, FiveMinutesSubtracted) {
    const FileTime n = wholeSecondClock(3'452'846'400u, 1500);
    EXPECT_EQ(n - static_cast<FileTime>(userOffsetUnits(5, 1)), fileTimeOf(2009, 6, 1, 11, 55, 1));
    EXPECT_EQ(userOffsetUnits(99, 2), 99LL * 3600 * 10'000'000);
    EXPECT_EQ(userOffsetUnits(7, 0), 7LL * 10'000'000);
}

TEST(MinorOnly, TakesTheHourNearestTheCurrentClock) {
    // Clock 10:59:58, server 11:00:01: the minutes and seconds of the server
    // with the hour that lands nearest the clock, across the hour boundary.
    EXPECT_EQ(minorOnlyClock(fileTimeOf(2009, 6, 1, 11, 0, 1), fileTimeOf(2009, 6, 1, 10, 59, 58)),
              fileTimeOf(2009, 6, 1, 11, 0, 1));
    EXPECT_EQ(minorOnlyClock(fileTimeOf(2009, 6, 1, 10, 59, 58), fileTimeOf(2009, 6, 1, 11, 0, 1)),
              fileTimeOf(2009, 6, 1, 10, 59, 58));
    // Hours apart: only minutes and seconds move.
    EXPECT_EQ(minorOnlyClock(fileTimeOf(2009, 6, 1, 15, 20, 30), fileTimeOf(2009, 6, 1, 10, 21, 0)),
              fileTimeOf(2009, 6, 1, 10, 20, 30));
    // Across midnight the date follows.
    EXPECT_EQ(minorOnlyClock(fileTimeOf(2009, 6, 2, 0, 0, 2), fileTimeOf(2009, 6, 1, 23, 59, 59)),
              fileTimeOf(2009, 6, 2, 0, 0, 2));
}

TEST(OffsetFigure, WorkedExamples) {
    EXPECT_EQ(formatOffsetFigure(fixed(1, 2'147'483'648u)), "1.49999");
    EXPECT_EQ(formatOffsetFigure(fixed(-1, 3'222'467'296u)), "- 0.24970");
    EXPECT_EQ(formatOffsetFigure(fixed(-5, 2'147'483'648u)), "-4.49999");
    EXPECT_EQ(formatOffsetFigure(fixed(0, 4'290'000'000u)), "0.99883");
    EXPECT_EQ(formatOffsetFigure(fixed(12, 0)), "12.00000");
}

class DifferenceText : public ::testing::Test {
protected:
    void SetUp() override {
        stringTable() = StringTable{};
        ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
        applyDefaults();
        measuredOffset.store(fixed(0, 530'000'000u));  // about 0.1234 s
        responseMs.store(120);
    }
    void TearDown() override {
        measuredOffset.store(0);
        responseMs.store(0);
    }
};

TEST_F(DifferenceText, StatusForm) {
    EXPECT_EQ(formatDifference(DifferenceForm::Status), "Time Corrected by 0.12339 Scs in 120 ms");
    settings.logResponse.store(0);
    EXPECT_EQ(formatDifference(DifferenceForm::Status), "Time Corrected by 0.12339 Scs in 120 ms");
}

TEST_F(DifferenceText, CheckForm) {
    settings.logResponse.store(0);
    EXPECT_EQ(formatDifference(DifferenceForm::Check), "Difference found as 0.12339 Scs");
    settings.logResponse.store(1);
    EXPECT_EQ(formatDifference(DifferenceForm::Check), "Difference found as 0.12339 Scs in 120 ms");
}

TEST_F(DifferenceText, LogFormFollowsTheLogFlags) {
    EXPECT_EQ(formatDifference(DifferenceForm::Log), "Time Corrected by 0.12339 Scs in 120 ms");
    settings.logCorrection.store(0);
    EXPECT_EQ(formatDifference(DifferenceForm::Log), "Time Corrected in 120 ms");
    settings.logResponse.store(0);
    EXPECT_EQ(formatDifference(DifferenceForm::Log), "Time Corrected");
}

TEST_F(DifferenceText, NoFigureAfterATimeQuery) {
    measuredOffset.store(0);
    settings.logResponse.store(0);
    EXPECT_EQ(formatDifference(DifferenceForm::Check), "Difference found ");
}

TEST_F(DifferenceText, UserOffsetIsPartOfTheFigureWithItsSign) {
    settings.offsetAmount.store(2);
    settings.offsetMultiplier.store(0);  // seconds
    settings.offsetDirection.store(0);   // add
    measuredOffset.store(fixed(0, 2'147'483'648u));  // +0.5 s
    EXPECT_EQ(formatDifference(DifferenceForm::Status), "Time Corrected by 2.49999 Scs in 120 ms");
    settings.offsetDirection.store(1);  // subtract: 0.5 - 2 = -1.5
    EXPECT_EQ(formatDifference(DifferenceForm::Status), "Time Corrected by -1.49999 Scs in 120 ms");
    measuredOffset.store(fixed(-4, 2'147'483'648u));  // -3.5 s, minus 2 = -5.5
    EXPECT_EQ(formatDifference(DifferenceForm::Status), "Time Corrected by -5.49999 Scs in 120 ms");
    settings.offsetDirection.store(0);  // -3.5 + 2 = -1.5
    EXPECT_EQ(formatDifference(DifferenceForm::Status), "Time Corrected by -1.49999 Scs in 120 ms");
    settings.offsetAmount.store(3);  // -3.5 + 3 = -0.5
    EXPECT_EQ(formatDifference(DifferenceForm::Status), "Time Corrected by - 0.49999 Scs in 120 ms");
}

}  // namespace
}  // namespace tavrel
