// What the real clock's calls are given. No test sets the real clock: these
// check the values handed to adjtime, adjtimex, clock_settime and Windows'
// SetSystemTime and SetSystemTimeAdjustment, on either system.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/clock_arguments.h"
#include "platform/time.h"

#ifdef _WIN32
#include "platform/win32/win32_support.h"
#endif

namespace tavrel::platform {
namespace {

constexpr int64_t kSecond = static_cast<int64_t>(kFileTimeUnitsPerSecond);
constexpr int64_t kMicrosecondsPerSecond = 1'000'000;
constexpr int64_t kNanosecondsPerSecond = 1'000'000'000;

// 2026-03-14 15:09:26.535 UTC.
FileTime aKnownTime(SystemTime& fields) {
    fields = SystemTime{2026, 3, 6, 14, 15, 9, 26, 535};
    FileTime t = 0;
    EXPECT_TRUE(systemTimeToFileTime(fields, t));
    return t + 8979;  // and a part of a millisecond, below what SYSTEMTIME holds
}

// adjtime adds its two parts up; the kernel takes a fraction within a
// second of nothing, and both parts must pull the same way.
void expectSlewDelta(int64_t units, int64_t wantMicroseconds) {
    const SecondsAndFraction d = slewDeltaMicroseconds(units);
    EXPECT_EQ(d.seconds * kMicrosecondsPerSecond + d.fraction, wantMicroseconds) << units;
    EXPECT_LT(d.fraction, kMicrosecondsPerSecond) << units;
    EXPECT_GT(d.fraction, -kMicrosecondsPerSecond) << units;
    if (wantMicroseconds > 0) {
        EXPECT_GE(d.seconds, 0) << units;
        EXPECT_GE(d.fraction, 0) << units;
    }
    if (wantMicroseconds < 0) {
        EXPECT_LE(d.seconds, 0) << units;
        EXPECT_LE(d.fraction, 0) << units;
    }
}

TEST(ClockArguments, ASlewsDeltaHasTheOffsetsSignAndMicroseconds) {
    const SecondsAndFraction quarter = slewDeltaMicroseconds(kSecond / 4);
    EXPECT_EQ(quarter.seconds, 0);
    EXPECT_EQ(quarter.fraction, 250'000);
    const SecondsAndFraction back = slewDeltaMicroseconds(-kSecond * 3 / 2);
    EXPECT_EQ(back.seconds, -1);
    EXPECT_EQ(back.fraction, -500'000);

    expectSlewDelta(kSecond / 4, 250'000);
    expectSlewDelta(-kSecond / 4, -250'000);
    expectSlewDelta(-kSecond * 3 / 2, -1'500'000);
    expectSlewDelta(kSecond * 3 / 2, 1'500'000);
    expectSlewDelta(-kSecond * 2, -2'000'000);
    expectSlewDelta(kSecond * 7 + 9'999'999, 7'999'999);  // below a microsecond is cut off
    expectSlewDelta(-(kSecond * 7 + 9'999'999), -7'999'999);
    expectSlewDelta(9, 0);
    expectSlewDelta(0, 0);
}

// ADJ_SETOFFSET with ADJ_NANO: the kernel refuses a fraction that is
// negative or a whole second; the seconds carry the sign.
void expectStepOffset(int64_t units, int64_t wantNanoseconds) {
    const SecondsAndFraction o = stepOffsetNanoseconds(units);
    EXPECT_EQ(o.seconds * kNanosecondsPerSecond + o.fraction, wantNanoseconds) << units;
    EXPECT_GE(o.fraction, 0) << units;
    EXPECT_LT(o.fraction, kNanosecondsPerSecond) << units;
}

TEST(ClockArguments, AStepsOffsetKeepsItsFractionAsTheKernelWantsIt) {
    const SecondsAndFraction ahead = stepOffsetNanoseconds(kSecond * 36002 / 10);
    EXPECT_EQ(ahead.seconds, 3600);
    EXPECT_EQ(ahead.fraction, 200'000'000);
    const SecondsAndFraction back = stepOffsetNanoseconds(-kSecond * 36002 / 10);
    EXPECT_EQ(back.seconds, -3601);
    EXPECT_EQ(back.fraction, 800'000'000);

    expectStepOffset(kSecond * 36002 / 10, 3'600'200'000'000);
    expectStepOffset(-kSecond * 36002 / 10, -3'600'200'000'000);
    expectStepOffset(-kSecond * 3 / 2, -1'500'000'000);
    expectStepOffset(-kSecond, -1'000'000'000);
    expectStepOffset(-1, -100);
    expectStepOffset(1, 100);
    expectStepOffset(0, 0);
    expectStepOffset(-kSecond * 86'400 * 400, -kNanosecondsPerSecond * 86'400 * 400);
}

TEST(ClockArguments, SettingAndReadingTheClockUseUnixTimeToTheNanosecond) {
    SystemTime fields;
    const FileTime t = aKnownTime(fields);
    SecondsAndFraction unix;
    ASSERT_TRUE(unixTimeOf(t, unix));
    EXPECT_EQ(unix.seconds, 1'773'500'966);  // date -u -d '2026-03-14 15:09:26' +%s
    EXPECT_EQ(unix.fraction, 535'897'900);
    EXPECT_EQ(fileTimeOfUnix(unix.seconds, unix.fraction), t);
    EXPECT_EQ(fileTimeOfUnix(1'773'500'966, 535'897'999), t);  // below 100 ns is cut off

    ASSERT_TRUE(unixTimeOf(kFileTime1970, unix));
    EXPECT_EQ(unix.seconds, 0);
    EXPECT_EQ(unix.fraction, 0);
    EXPECT_FALSE(unixTimeOf(kFileTime1970 - 1, unix));

    // A step of 3600.2 s where the clock can only be set lands there, either way.
    const int64_t step = kSecond * 36002 / 10;
    ASSERT_TRUE(unixTimeOf(stepTarget(t, step), unix));
    EXPECT_EQ(unix.seconds, 1'773'500'966 + 3600);
    EXPECT_EQ(unix.fraction, 735'897'900);
    ASSERT_TRUE(unixTimeOf(stepTarget(t, -step), unix));
    EXPECT_EQ(unix.seconds, 1'773'500'966 - 3600);
    EXPECT_EQ(unix.fraction, 335'897'900);
}

TEST(ClockArguments, AWindowsSlewRunsAt500ppmOfTheTickForAsLongAsItTakes) {
    // The usual 15.625 ms tick: 156250 units, 78 more or less a tick.
    const SlewAdjustment ahead = slewAdjustment(156'250, kSecond / 4);
    EXPECT_EQ(ahead.rate, 156'250u + 78u);
    // 2.5 million units at 78 a tick of 156250 units' time: 500.8 s.
    EXPECT_EQ(ahead.ms, 500'801u);
    const SlewAdjustment back = slewAdjustment(156'250, -kSecond / 4);
    EXPECT_EQ(back.rate, 156'250u - 78u);
    EXPECT_EQ(back.ms, ahead.ms);
    // A tick too small for 500 ppm of it still moves one unit a tick.
    const SlewAdjustment tiny = slewAdjustment(1000, -20);
    EXPECT_EQ(tiny.rate, 999u);
    EXPECT_EQ(tiny.ms, 2u);
    EXPECT_EQ(slewAdjustment(156'250, 0).ms, 0u);
}

#ifdef _WIN32
TEST(ClockArguments, TheSystemTimeSetForAFileTimeHoldsItsUtcFields) {
    SystemTime fields;
    const FileTime t = aKnownTime(fields);
    SYSTEMTIME st{};
    ASSERT_TRUE(win32::clockSystemTime(t, st));
    EXPECT_EQ(st.wYear, 2026);
    EXPECT_EQ(st.wMonth, 3);
    EXPECT_EQ(st.wDay, 14);
    EXPECT_EQ(st.wDayOfWeek, 6);
    EXPECT_EQ(st.wHour, 15);
    EXPECT_EQ(st.wMinute, 9);
    EXPECT_EQ(st.wSecond, 26);
    EXPECT_EQ(st.wMilliseconds, 535);
    ASSERT_TRUE(win32::clockSystemTime(stepTarget(t, kSecond * 36002 / 10), st));
    EXPECT_EQ(st.wHour, 16);
    EXPECT_EQ(st.wSecond, 26);
    EXPECT_EQ(st.wMilliseconds, 735);
    EXPECT_FALSE(win32::clockSystemTime(0x8000000000000000ULL, st));
}
#endif

}  // namespace
}  // namespace tavrel::platform
