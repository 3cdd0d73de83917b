// The service's start on a clock that may be behind the time it last saved,
// on the simulated clock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/saved_time.h"
#include "platform/clock_file.h"
#include "platform/time.h"
#include "storage/last_time.h"
#include "storage/log.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

constexpr int64_t kSecond = static_cast<int64_t>(platform::kFileTimeUnitsPerSecond);
constexpr int64_t kDay = 86'400 * kSecond;

class SavedTimeStartTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetProcessState(dir.path(), dir.path());
        clockPath = dir.file("clock");
    }
    // The simulated clock `offset` (100 ns) from the real one, and told it is synchronised.
    void clockAt(int64_t offset) {
        test::writeFile(clockPath, std::to_string(offset) + "\n");
        test::writeFile(clockPath + ".sync", "1 1000 500\n");
    }
    int64_t offset() { return platform::clock_file::readSimulatedClock(clockPath.c_str()).offset; }
    // The real clock (the simulated one's offset taken out).
    platform::FileTime realNow() { return platform::getSystemTimeAsFileTime() - static_cast<platform::FileTime>(offset()); }
    std::string log() { return test::fileExists(dir.file(kLogFileName)) ? test::readFile(dir.file(kLogFileName)) : ""; }

    test::TempDir dir;
    std::string clockPath;
    test::ScopedEnv clockFile{"TAVREL_CLOCK_FILE", (dir.path() + "clock").c_str()};
};

// A clock three days behind the saved time is stepped to it, forward only,
// counts as unsynchronised, and the log says by how much.
TEST_F(SavedTimeStartTest, AClockBehindIsSteppedForwardToTheSavedTime) {
    clockAt(-3 * kDay);
    const platform::FileTime saved = realNow();
    ASSERT_TRUE(writeLastTime(saved));
    EXPECT_EQ(stepForwardToSavedTime(), SavedTimeStart::SteppedForward);
    const platform::FileTime now = platform::getSystemTimeAsFileTime();
    EXPECT_GE(now, saved - static_cast<platform::FileTime>(kSecond));  // the file holds whole seconds
    EXPECT_LT(now, saved + 5 * static_cast<platform::FileTime>(kSecond));
    EXPECT_FALSE(platform::clockSyncState().synchronised);
    EXPECT_NE(log().find(" : Clock was behind the last saved time; stepped forward by 2591"), std::string::npos) << log();
    // Once there, a second start finds nothing to do.
    const int64_t stepped = offset();
    EXPECT_EQ(stepForwardToSavedTime(), SavedTimeStart::ClockNotBehind);
    EXPECT_EQ(offset(), stepped);
}

// Never backwards: a clock ahead of the saved time is left alone, and so is
// a file that holds no time or one too far after the program was built.
TEST_F(SavedTimeStartTest, OnlyABelievableSavedTimeMovesTheClock) {
    clockAt(0);
    ASSERT_TRUE(writeLastTime(realNow() - static_cast<platform::FileTime>(3 * kDay)));
    EXPECT_EQ(stepForwardToSavedTime(), SavedTimeStart::ClockNotBehind);
    EXPECT_EQ(offset(), 0);
    EXPECT_TRUE(platform::clockSyncState().synchronised);

    clockAt(-3 * kDay);
    test::writeFile(dir.file(kLastTimeFileName), "not a time\r\n");
    EXPECT_EQ(stepForwardToSavedTime(), SavedTimeStart::Ignored);
    EXPECT_EQ(offset(), -3 * kDay);
    EXPECT_NE(log().find(" : LastTime.txt holds no time; ignored"), std::string::npos) << log();

    // Built "now", a saved time eleven years on is refused, nine years on is taken.
    const platform::FileTime built = realNow();
    ASSERT_TRUE(writeLastTime(built + static_cast<platform::FileTime>(11 * 366 * kDay)));
    EXPECT_EQ(stepForwardToSavedTime(built), SavedTimeStart::Ignored);
    EXPECT_EQ(offset(), -3 * kDay);
    EXPECT_NE(log().find(", more than 10 years after this program was built; ignored"), std::string::npos) << log();
    ASSERT_TRUE(writeLastTime(built + static_cast<platform::FileTime>(9 * 365 * kDay)));
    EXPECT_EQ(stepForwardToSavedTime(built), SavedTimeStart::SteppedForward);
    EXPECT_GT(offset(), 9 * 364 * kDay);
    EXPECT_EQ(log().find("stepped forward by -"), std::string::npos);
}

TEST_F(SavedTimeStartTest, ARefusedStepIsLoggedAndLeavesTheClock) {
    clockAt(-kDay);
    ASSERT_TRUE(writeLastTime(realNow()));
    test::ScopedEnv withheld("TAVREL_CLOCK_NO_RIGHT", "1");
    EXPECT_EQ(stepForwardToSavedTime(), SavedTimeStart::StepRefused);
    EXPECT_EQ(offset(), -kDay);
    EXPECT_NE(log().find("), but could not be stepped forward"), std::string::npos) << log();
}

TEST(ProgramBuildTime, IsAPlausibleDay) {
    const platform::FileTime built = programBuildTime();
    platform::SystemTime t{};
    ASSERT_TRUE(platform::fileTimeToSystemTime(built, t));
    EXPECT_GE(t.year, 2024);
    EXPECT_EQ(t.hour, 0);
    // Not after today (the tests run on what was just built).
    EXPECT_LE(built, platform::getSystemTimeAsFileTime());
}

}  // namespace
}  // namespace tavrel
