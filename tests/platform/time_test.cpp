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

// Ending a slew at once steps the part not yet made: the clock then reads
// what it would have once the slew had run its course.
TEST_F(SimulatedClock, AFinishedSlewStepsWhatItHadNotYetMade) {
    const FileTime start = kFileTime1970 + 1'800'000'000ULL * kFileTimeUnitsPerSecond;
    test::writeFile(path, "3000000\n");  // 300 ms fast
    const int64_t amount = -3'000'000;
    const int64_t duration = static_cast<int64_t>(slewDurationMs(amount)) * static_cast<int64_t>(kFileTimeUnitsPerMs);
    ASSERT_TRUE(clock_file::slewSimulatedClock(path.c_str(), amount, duration, start));
    const FileTime quarter = start + static_cast<FileTime>(duration) / 4;
    const clock_file::SimulatedClock slewing = clock_file::readSimulatedClock(path.c_str());
    const SlewAtExit finished = clock_file::finishSimulatedSlew(path.c_str(), quarter);
    EXPECT_TRUE(finished.slewing);
    EXPECT_TRUE(finished.stepped);
    EXPECT_EQ(finished.restUnits, amount - slewing.slewedBy(quarter));
    const clock_file::SimulatedClock after = clock_file::readSimulatedClock(path.c_str());
    EXPECT_EQ(after.slewDuration, 0);
    EXPECT_EQ(after.reading(quarter), quarter);
    EXPECT_EQ(after.reading(start + static_cast<FileTime>(duration)), start + static_cast<FileTime>(duration));
    // Nothing left to finish, nor after a slew has run its course.
    EXPECT_FALSE(clock_file::finishSimulatedSlew(path.c_str(), quarter).slewing);
    ASSERT_TRUE(clock_file::slewSimulatedClock(path.c_str(), 1'000'000, 2'000'000'000, start));
    EXPECT_FALSE(clock_file::finishSimulatedSlew(path.c_str(), start + 2'000'000'000).slewing);
    EXPECT_EQ(clock_file::readSimulatedClock(path.c_str()).slewDuration, 2'000'000'000);
}

// At the program's end a slew is finished where the system would not carry
// it on (Windows); Linux's kernel carries it on, and so does the simulated
// clock standing in for it.
TEST_F(SimulatedClock, ASlewAtTheProgramsEndIsFinishedWhereItWouldNotOutliveIt) {
    test::writeFile(path, "2000000\n");  // 200 ms fast
    ASSERT_TRUE(slewSystemClock(-2'000'000));
    const SlewAtExit finished = finishSlewBeforeExit();
    const clock_file::SimulatedClock after = clock_file::readSimulatedClock(path.c_str());
#ifdef _WIN32
    EXPECT_TRUE(finished.slewing);
    EXPECT_TRUE(finished.stepped);
    EXPECT_LT(finished.restUnits, 0);
    EXPECT_EQ(after.slewDuration, 0);
    EXPECT_EQ(after.offset, 0);  // the whole 200 ms made up
#else
    EXPECT_FALSE(finished.slewing);
    EXPECT_EQ(after.slewAmount, -2'000'000);
    EXPECT_GT(after.slewDuration, 0);
#endif
}

// A clock with a rate gains that many millionths of the real time passed:
// the test's natural error and the program's correction add up, and a
// change of the correction never makes the reading jump.
TEST_F(SimulatedClock, AClockWithARateRunsAtThatRateAndStaysContinuous) {
    const FileTime base = kFileTime1970 + 1'800'000'000ULL * kFileTimeUnitsPerSecond;
    const FileTime hour = 3600 * kFileTimeUnitsPerSecond;
    test::writeFile(path, "1000 natural=300 base=" + std::to_string(base) + "\n");
    clock_file::SimulatedClock clock = clock_file::readSimulatedClock(path.c_str());
    EXPECT_EQ(clock.reading(base), base + 1000);
    // 300 ppm of an hour: 1.08 s.
    EXPECT_EQ(clock.reading(base + hour), base + hour + 1000 + 10'800'000);

    // The program corrects the rate after an hour; the reading goes on
    // from where it stood, now at 300 - 250 = 50 ppm.
    ASSERT_TRUE(clock_file::setSimulatedFrequency(path.c_str(), -250.0, base + hour));
    clock = clock_file::readSimulatedClock(path.c_str());
    EXPECT_DOUBLE_EQ(clock.correctionPpm, -250.0);
    EXPECT_DOUBLE_EQ(clock.naturalPpm, 300.0);
    EXPECT_EQ(clock.reading(base + hour), base + hour + 1000 + 10'800'000);
    EXPECT_EQ(clock.reading(base + 2 * hour), base + 2 * hour + 1000 + 10'800'000 + 1'800'000);

    // A step keeps the rate, and a slew runs on top of it.
    ASSERT_TRUE(clock_file::stepSimulatedClock(path.c_str(), -12'600'000, base + 2 * hour));
    ASSERT_TRUE(clock_file::slewSimulatedClock(path.c_str(), 5'000, 10'000'000, base + 2 * hour));
    clock = clock_file::readSimulatedClock(path.c_str());
    EXPECT_EQ(clock.reading(base + 2 * hour), base + 2 * hour + 1000);
    EXPECT_EQ(clock.reading(base + 3 * hour), base + 3 * hour + 1000 + 1'800'000 + 5'000);

    // Through the platform call: the reading of the wall clock follows.
    EXPECT_DOUBLE_EQ(clockFrequency(), -250.0);
    ASSERT_TRUE(setClockFrequency(-300.0));
    EXPECT_DOUBLE_EQ(clockFrequency(), -300.0);
    ASSERT_TRUE(setClockFrequency(-900.0));  // beyond what a kernel takes
    EXPECT_DOUBLE_EQ(clockFrequency(), -kLargestClockFrequencyPpm);
}

// The real clock drives the rate: a clock 100,000 ppm fast (a tenth) gains
// a tenth of the time that passes, read through the wall clock.
TEST_F(SimulatedClock, TheWallClockAdvancesAtTheFilesRate) {
    const FileTime start = realNow();
    test::setEnv("TAVREL_CLOCK_FILE", path);
    test::writeFile(path, "0 natural=100000 base=" + std::to_string(start) + "\n");
    const FileTime simulatedStart = getSystemTimeAsFileTime();
    FileTime real = realNow();
    while (real - start < 2'000'000) real = realNow();  // 200 ms of the real clock
    test::setEnv("TAVREL_CLOCK_FILE", path);
    const FileTime simulated = getSystemTimeAsFileTime();
    const FileTime realAfter = realNow();
    const double gained = static_cast<double>(simulated - simulatedStart);
    const double passedLow = static_cast<double>(real - start);
    const double passedHigh = static_cast<double>(realAfter - start);
    EXPECT_GE(gained, passedLow * 1.1 - 100'000) << "gained " << gained;
    EXPECT_LE(gained, passedHigh * 1.1 + 100'000) << "gained " << gained;
}

// Files written before the rate existed read as they did.
TEST_F(SimulatedClock, OldFormsStillRead) {
    test::writeFile(path, "-36000000000\n");
    clock_file::SimulatedClock clock = clock_file::readSimulatedClock(path.c_str());
    EXPECT_EQ(clock.offset, -36'000'000'000LL);
    EXPECT_EQ(clock.rateBase, 0u);
    test::writeFile(path, "2000000 -2000000 180000000000000000 4000000000\n");
    clock = clock_file::readSimulatedClock(path.c_str());
    EXPECT_EQ(clock.offset, 2'000'000);
    EXPECT_EQ(clock.slewAmount, -2'000'000);
    EXPECT_EQ(clock.slewDuration, 4'000'000'000);
    EXPECT_EQ(clock.reading(180000000000000000ULL + 2'000'000'000ULL), 180000000000000000ULL + 2'000'000'000ULL + 1'000'000);
    // And a step writes the old form back while no rate is set.
    ASSERT_TRUE(clock_file::stepSimulatedClock(path.c_str(), 0, 180000000000000000ULL + 4'000'000'000ULL));
    EXPECT_EQ(test::readFile(path), "0\n");
}

}  // namespace
}  // namespace tavrel::platform
