#include <gtest/gtest.h>

#include <string>

#include "storage/data_directory.h"
#include "storage/last_time.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

platform::FileTime utcOf(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute, uint16_t second,
                         uint16_t ms = 0) {
    platform::SystemTime t{};
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    t.milliseconds = ms;
    platform::FileTime utc = 0;
    EXPECT_TRUE(platform::systemTimeToFileTime(t, utc));
    return utc;
}

TEST(LastTimeFile, OneIsoLineToTheSecond) {
    EXPECT_EQ(lastTimeText(utcOf(2026, 12, 10, 0, 12, 16, 999)), "2026-12-10T00:12:16Z\r\n");
    for (const platform::FileTime utc : {utcOf(2024, 2, 29, 23, 59, 59), utcOf(1970, 1, 1, 0, 0, 0),
                                         utcOf(2106, 2, 7, 6, 28, 16)}) {
        EXPECT_EQ(parseLastTime(lastTimeText(utc)), utc);
    }
    EXPECT_EQ(parseLastTime("2026-12-10T00:12:16Z"), utcOf(2026, 12, 10, 0, 12, 16));
    EXPECT_EQ(parseLastTime("2026-12-10T00:12:16Z\n"), utcOf(2026, 12, 10, 0, 12, 16));
}

TEST(LastTimeFile, AnythingElseHoldsNoTime) {
    for (const char* text : {"", "\r\n", "garbage", "2026-12-10 00:12:16Z", "2026-12-10T00:12:16", "2026-12-10T00:12:16+01",
                             "2026-12-10T00:12:16Z trailing", "2026-12-10T00:12:16Z\r\n2026-12-11T00:00:00Z\r\n",
                             "2023-02-29T00:00:00Z", "2026-13-01T00:00:00Z", "2026-00-10T00:00:00Z",
                             "2026-12-00T00:00:00Z", "2026-12-10T24:00:00Z", "2026-12-10T00:60:00Z",
                             "2026-12-10T00:00:60Z", "+026-12-10T00:12:16Z", "2026-1a-10T00:12:16Z",
                             " 2026-12-10T00:12:16Z"}) {
        EXPECT_FALSE(parseLastTime(text).has_value()) << text;
    }
}

TEST(LastTimeFile, KeptWholeInTheDataDirectory) {
    test::TempDir dir;
    setDirectories(dir.path(), dir.path());
    EXPECT_FALSE(readLastTime().present);
    const platform::FileTime utc = utcOf(2030, 6, 1, 12, 0, 0);
    ASSERT_TRUE(writeLastTime(utc));
    EXPECT_EQ(test::readFile(dir.file(kLastTimeFileName)), "2030-06-01T12:00:00Z\r\n");
    const SavedLastTime saved = readLastTime();
    EXPECT_TRUE(saved.present);
    EXPECT_EQ(saved.utc, utc);
    test::writeFile(dir.file(kLastTimeFileName), std::string(100'000, '2'));
    EXPECT_TRUE(readLastTime().present);
    EXPECT_FALSE(readLastTime().utc.has_value());
}

}  // namespace
}  // namespace tavrel
