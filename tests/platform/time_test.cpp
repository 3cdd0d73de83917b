#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/clock_file.h"
#include "platform/time.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_values.h"
#include "tests/support/environment.h"

namespace tavrel::platform {
namespace {

using test::makeTime;


TEST(TimeConversion, KnownEpochs) {
    FileTime ft = 0;
    ASSERT_TRUE(systemTimeToFileTime(makeTime(1900, 1, 1, 0, 0, 0, 0), ft));
    EXPECT_EQ(ft, kFileTime1900);
    ASSERT_TRUE(systemTimeToFileTime(makeTime(1970, 1, 1, 0, 0, 0, 0), ft));
    EXPECT_EQ(ft, kFileTime1970);
    ASSERT_TRUE(systemTimeToFileTime(makeTime(2009, 6, 1, 12, 0, 0, 0), ft));
    EXPECT_EQ((ft - kFileTime1900) / kFileTimeUnitsPerSecond, 3'452'846'400u);
    EXPECT_EQ(upperWord(ft), 0x01C9E2B0u);
}

TEST(TimeConversion, RoundTripsAcrossLeapDaysAndCenturies) {
    for (const SystemTime& t : {makeTime(1601, 1, 1, 0, 0, 0, 0), makeTime(2000, 2, 29, 23, 59, 59, 999),
                                makeTime(2036, 2, 7, 6, 28, 16, 0), makeTime(2100, 3, 1, 1, 2, 3, 4),
                                makeTime(30827, 12, 31, 23, 59, 59, 999)}) {
        FileTime ft = 0;
        ASSERT_TRUE(systemTimeToFileTime(t, ft));
        SystemTime back{};
        ASSERT_TRUE(fileTimeToSystemTime(ft, back));
        EXPECT_EQ(back.year, t.year);
        EXPECT_EQ(back.month, t.month);
        EXPECT_EQ(back.day, t.day);
        EXPECT_EQ(back.hour, t.hour);
        EXPECT_EQ(back.minute, t.minute);
        EXPECT_EQ(back.second, t.second);
        EXPECT_EQ(back.milliseconds, t.milliseconds);
    }
}

TEST(TimeConversion, DayOfWeek) {
    SystemTime t{};
    FileTime ft = 0;
    ASSERT_TRUE(systemTimeToFileTime(makeTime(2026, 12, 7, 0, 0, 0, 0), ft));
    ASSERT_TRUE(fileTimeToSystemTime(ft, t));
    EXPECT_EQ(t.dayOfWeek, 1);  // a Monday
}

TEST(TimeConversion, RejectsInvalidFields) {
    FileTime ft = 0;
    EXPECT_FALSE(systemTimeToFileTime(makeTime(2023, 2, 29, 0, 0, 0, 0), ft));
    EXPECT_FALSE(systemTimeToFileTime(makeTime(1600, 12, 31, 0, 0, 0, 0), ft));
    EXPECT_FALSE(systemTimeToFileTime(makeTime(2020, 13, 1, 0, 0, 0, 0), ft));
    EXPECT_FALSE(systemTimeToFileTime(makeTime(2020, 1, 1, 24, 0, 0, 0), ft));
}

TEST(TimeFormat, PicturesAsTheLocaleFunctionsRead) {
    const SystemTime t = makeTime(2009, 6, 1, 7, 5, 9, 0);
    EXPECT_EQ(formatTime(t, "HH' 'mm' 'ss"), "07 05 09");
    EXPECT_EQ(formatTime(t, "H:m:s"), "7:5:9");
    EXPECT_EQ(formatTime(makeTime(2009, 6, 1, 15, 0, 0, 0), "hh tt"), "03 PM");
    EXPECT_EQ(formatTime(t, "'it''s' HH"), "it's 07");
}

TEST(TimeFormat, LongDateNamesDayMonthAndYear) {
    SystemTime t = makeTime(2009, 6, 1, 0, 0, 0, 0);
    t.dayOfWeek = 1;
    const std::string date = formatLongDate(t);
    EXPECT_NE(date.find("2009"), std::string::npos);
    EXPECT_NE(date.find('1'), std::string::npos);
}

TEST(TickCount, TestSourceReplacesTheRealOne) {
    setTickSource([] { return uint64_t{0xFFFFFFF0u}; });
    EXPECT_EQ(getTickCount(), 0xFFFFFFF0u);
    setTickSource(nullptr);
    const uint32_t a = getTickCount();
    const uint32_t b = getTickCount();
    EXPECT_LE(b - a, 1000u);  // monotonic: never runs backwards
}

class SimulatedClock : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir.file("clock");
        test::setEnv("TAVREL_CLOCK_FILE", path);
    }
    void TearDown() override { test::unsetEnv("TAVREL_CLOCK_FILE"); }
    test::TempDir dir;
    std::string path;
};

FileTime realNow() {
    test::unsetEnv("TAVREL_CLOCK_FILE");
    const FileTime now = getSystemTimeAsFileTime();
    return now;
}

TEST_F(SimulatedClock, MissingFileMeansNoOffset) {
    EXPECT_TRUE(simulatedClockActive());
    const FileTime simulated = getSystemTimeAsFileTime();
    const FileTime real = realNow();
    EXPECT_LT(real - simulated, 5 * kFileTimeUnitsPerSecond);
}

TEST_F(SimulatedClock, OffsetFileMovesTheWallClock) {
    test::writeFile(path, "36000000000\n");  // one hour ahead
    const FileTime simulated = getSystemTimeAsFileTime();
    const FileTime real = realNow();
    const int64_t diff = static_cast<int64_t>(simulated - real);
    EXPECT_GT(diff, 3590 * static_cast<int64_t>(kFileTimeUnitsPerSecond));
    EXPECT_LE(diff, 3600 * static_cast<int64_t>(kFileTimeUnitsPerSecond));
}

TEST_F(SimulatedClock, SettingTheClockRewritesTheOffsetOnly) {
    const FileTime target = kFileTime1970 + 1'000'000'000ULL * kFileTimeUnitsPerSecond;  // 2001
    ASSERT_TRUE(setSystemFileTime(target));
    const std::string offset = test::readFile(path);
    EXPECT_EQ(offset.front(), '-');
    const FileTime now = getSystemTimeAsFileTime();
    EXPECT_LT(now - target, 5 * kFileTimeUnitsPerSecond);
    EXPECT_GT(realNow() - target, 300'000'000ULL * kFileTimeUnitsPerSecond);
}

// A slew moves the clock evenly to its target: never backwards, never by a
// step, and all of the amount once its duration has passed. A step during
// a slew keeps what the slew had made up.
TEST_F(SimulatedClock, ASlewNeverRunsBackwardsAndEndsOnItsTarget) {
    const FileTime start = kFileTime1970 + 1'800'000'000ULL * kFileTimeUnitsPerSecond;
    test::writeFile(path, "2000000\n");  // 200 ms fast
    const int64_t amount = -2'000'000;
    const int64_t duration = static_cast<int64_t>(slewDurationMs(amount)) * static_cast<int64_t>(kFileTimeUnitsPerMs);
    EXPECT_EQ(slewDurationMs(amount), 400'000u);  // 500 microseconds a second
    ASSERT_TRUE(clock_file::slewSimulatedClock(path.c_str(), amount, duration, start));
    const clock_file::SimulatedClock clock = clock_file::readSimulatedClock(path.c_str());
    FileTime last = clock.reading(start - 1);
    EXPECT_EQ(last, start - 1 + 2'000'000);
    // Every 100-ns unit of the first and last millisecond, and every
    // millisecond between.
    for (FileTime real = start; real <= start + static_cast<FileTime>(duration) + 20'000;
         real += (real - start < 10'000 || start + static_cast<FileTime>(duration) - real < 10'000) ? 1 : 10'000) {
        const FileTime now = clock.reading(real);
        ASSERT_GE(now, last) << "at " << real - start;
        last = now;
    }
    EXPECT_EQ(clock.reading(start + static_cast<FileTime>(duration)), start + static_cast<FileTime>(duration));
    EXPECT_EQ(clock.reading(start + static_cast<FileTime>(duration) / 2), start + static_cast<FileTime>(duration) / 2 + 1'000'000);

    // Half way, a step of one second: the 100 ms slewed by then stay.
    ASSERT_TRUE(clock_file::stepSimulatedClock(path.c_str(), 10'000'000, start + static_cast<FileTime>(duration) / 2));
    const clock_file::SimulatedClock stepped = clock_file::readSimulatedClock(path.c_str());
    EXPECT_EQ(stepped.slewDuration, 0);
    EXPECT_EQ(stepped.offset, 11'000'000);
    EXPECT_EQ(test::readFile(path), "11000000\n");
}

}  // namespace
}  // namespace tavrel::platform
