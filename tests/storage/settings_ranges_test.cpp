// The edges of the settings' ranges as read from "vIvod.dat": the last
// value inside is kept, the first outside takes the field's default.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "platform/time.h"
#include "storage/settings.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

class SettingsRanges : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetProcessState(dir.path(), dir.path());
        applyDefaults();
        ASSERT_TRUE(writeSettingsFile(dir.path()));
        file = test::readFile(dir.file(kSettingsFileName));
        ASSERT_EQ(file.size(), kSettingsFileSize);
    }
    // The saved defaults with one record word changed, loaded.
    void loadWith(size_t offset, uint32_t value) {
        std::string content = file;
        std::memcpy(&content[8 + offset], &value, sizeof value);
        test::writeFile(dir.file(kSettingsFileName), content);
        loadSettings();
    }
    test::TempDir dir;
    std::string file;
};

TEST_F(SettingsRanges, OffsetAndTimeOutKeepTheirEdges) {
    constexpr size_t kOffsetAmount = 8;
    constexpr size_t kSyncTimeout = 140;
    loadWith(kOffsetAmount, 99);
    EXPECT_EQ(settings.offsetAmount.load(), 99u);
    loadWith(kOffsetAmount, 100);
    EXPECT_EQ(settings.offsetAmount.load(), 0u);
    for (const uint32_t kept : {5u, 99u}) {
        loadWith(kSyncTimeout, kept);
        EXPECT_EQ(settings.syncTimeout.load(), std::chrono::seconds(kept));
    }
    for (const uint32_t refused : {4u, 100u}) {
        loadWith(kSyncTimeout, refused);
        EXPECT_EQ(settings.syncTimeout.load(), std::chrono::seconds(15)) << refused;
    }
}

TEST_F(SettingsRanges, ALowDateAboveTheHighOneIsCentredAgain) {
    constexpr size_t kHighUpper = 148;
    constexpr size_t kLowUpper = 156;
    std::string content = file;
    uint32_t highUpper = 0;
    std::memcpy(&highUpper, &content[8 + kHighUpper], 4);
    const uint32_t lowUpper = highUpper + 10;
    std::memcpy(&content[8 + kLowUpper], &lowUpper, 4);
    test::writeFile(dir.file(kSettingsFileName), content);
    loadSettings();
    EXPECT_LT(settings.dateRangeLow.load(), settings.dateRangeHigh.load());
    platform::FileTime now = 0;
    ASSERT_TRUE(platform::systemTimeToFileTime(platform::getLocalTime(), now));
    EXPECT_LT(settings.dateRangeLow.load(), now);
    EXPECT_GT(settings.dateRangeHigh.load(), now);
}

// A rule on the last Sunday of the month (week 5), as Europe's, survives a
// save and a load.
TEST_F(SettingsRanges, ALockedZoneWithALastSundayRuleIsKept) {
    platform::TimeZoneInformation zone;
    zone.bias = -60;
    zone.standardDate.month = 10;
    zone.standardDate.dayOfWeek = 0;
    zone.standardDate.day = 5;
    zone.standardDate.hour = 3;
    zone.daylightDate.month = 3;
    zone.daylightDate.dayOfWeek = 0;
    zone.daylightDate.day = 5;
    zone.daylightDate.hour = 2;
    zone.daylightBias = -60;
    setLockedTimeZone(zone);
    settings.timeZoneLocked.store(true);
    ASSERT_TRUE(writeSettingsFile(dir.path()));
    applyDefaults();
    setLockedTimeZone(platform::TimeZoneInformation{});
    loadSettings();
    const platform::TimeZoneInformation loaded = lockedTimeZone();
    EXPECT_EQ(loaded.standardDate.day, 5);
    EXPECT_EQ(loaded.daylightDate.day, 5);
    EXPECT_EQ(loaded.standardDate.month, 10);
    EXPECT_EQ(loaded.daylightDate.month, 3);
    EXPECT_EQ(loaded.bias, -60);
}

}  // namespace
}  // namespace tavrel
