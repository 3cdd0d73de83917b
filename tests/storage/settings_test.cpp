#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "platform/time.h"
#include "servers/server_list.h"
#include "storage/settings.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override { test::resetProcessState(dir.path(), dir.path()); }

    // A file with the given header and a record whose words all hold `fill`.
    std::string fileWith(std::string_view header, uint8_t fill, size_t recordBytes = kSettingsRecordSize) {
        std::string content(header);
        content.append(recordBytes, static_cast<char>(fill));
        return content;
    }

    uint32_t currentUpperWord() {
        platform::FileTime now = 0;
        EXPECT_TRUE(platform::systemTimeToFileTime(platform::getLocalTime(), now));
        return platform::upperWord(now);
    }

    TempDir dir;
};

TEST_F(SettingsFile, MissingFileGivesDefaults) {
    loadSettings();
    EXPECT_EQ(settings.selectedServer.load(), 0);
    EXPECT_EQ(settings.serverSource.load(), ServerSource::List);
    EXPECT_EQ(settings.windowsStartAction.load(), WindowsStartAction::None);
    EXPECT_EQ(settings.programStartAction.load(), StartAction::None);
    EXPECT_EQ(settings.protocol.load(), Protocol::Auto);
    EXPECT_EQ(settings.syncTimeout.load(), std::chrono::seconds(15));
    EXPECT_TRUE(settings.autoSyncEnabled.load());
    EXPECT_EQ(settings.autoSyncCount.load(), 4u);
    EXPECT_EQ(settings.autoSyncUnit.load(), TimeUnit::Hours);
    EXPECT_FALSE(settings.autoCheckEnabled.load());
    EXPECT_EQ(settings.autoCheckCount.load(), 4u);
    EXPECT_EQ(settings.autoCheckUnit.load(), TimeUnit::Hours);
    EXPECT_TRUE(settings.trayEnabled.load());
    EXPECT_TRUE(settings.dateRangeEnabled.load());
    EXPECT_TRUE(settings.dateRangeAutoReset.load());
    EXPECT_TRUE(settings.logSyncs.load());
    EXPECT_TRUE(settings.logErrors.load());
    EXPECT_FALSE(settings.logChecks.load());
    EXPECT_EQ(settings.offsetMultiplier.load(), OffsetUnit::Minutes);
    EXPECT_EQ(manualAddressA(), kDefaultManualAddressA);
    EXPECT_EQ(manualAddressB(), kDefaultManualAddressB);
}

TEST_F(SettingsFile, DefaultDateRangeIsCentredOnNow) {
    applyDefaults();
    const uint32_t now = currentUpperWord();
    const uint32_t low = platform::upperWord(settings.dateRangeLow.load());
    const uint32_t high = platform::upperWord(settings.dateRangeHigh.load());
    // The upper word may tick over between the two readings.
    EXPECT_LE(now - 6119 - low, 1u);
    EXPECT_LE(high - (now + 73426), 1u);
    EXPECT_EQ(platform::lowerWord(settings.dateRangeLow.load()), platform::lowerWord(settings.dateRangeHigh.load()));
}

TEST_F(SettingsFile, SaveThenLoadRoundTripsTheRecord) {
    applyDefaults();
    settings.selectedServer.store(7);
    settings.syncTimeout.store(std::chrono::seconds(42));
    settings.offsetAmount.store(99);
    setManualAddressA("10.1.2.3");
    setTimeZoneDisplayName(std::string(100, 'z'));
    ASSERT_TRUE(writeSettingsFile(dir.path()));

    const std::string saved = readFile(dir.file("vIvod.dat"));
    ASSERT_EQ(saved.size(), kSettingsFileSize);
    EXPECT_EQ(saved.substr(0, 8), "SYNC1400");
    EXPECT_EQ(static_cast<uint8_t>(saved[8 + 140]), 42);  // syncTimeout at record offset 140

    std::memset(static_cast<void*>(&settings), 0, sizeof settings);
    loadSettings();
    EXPECT_EQ(settings.selectedServer.load(), 7);
    EXPECT_EQ(settings.syncTimeout.load(), std::chrono::seconds(42));
    EXPECT_EQ(settings.offsetAmount.load(), 99u);
    EXPECT_EQ(manualAddressA(), "10.1.2.3");
    // The display name's first 64 bytes are written with the record, but
    // runtime words are never taken from the file.
    EXPECT_EQ(saved.substr(8 + 436, 64), std::string(64, 'z'));
    EXPECT_EQ(timeZoneDisplayName(), "");
}

TEST_F(SettingsFile, Version300IsTakenWithDateRangeAndMultiplierMigrated) {
    std::string content = fileWith("SYNC1300", 0);
    content[8 + 0] = 3;     // selectedServer
    content[8 + 140] = 30;  // syncTimeout
    content[8 + 396] = 2;   // offsetMultiplier: hours
    content[8 + 156] = 1;   // dateRangeLow upper word: far in the past
    writeFile(dir.file("vIvod.dat"), content);
    loadSettings();
    EXPECT_EQ(settings.selectedServer.load(), 3);
    EXPECT_EQ(settings.syncTimeout.load(), std::chrono::seconds(30));
    EXPECT_EQ(settings.offsetMultiplier.load(), OffsetUnit::Minutes);
    EXPECT_LE(currentUpperWord() - 6119 - platform::upperWord(settings.dateRangeLow.load()), 1u);
    // Everything else of the record stays as the file has it.
    EXPECT_FALSE(settings.autoSyncEnabled.load());
    EXPECT_FALSE(settings.trayEnabled.load());
}

TEST_F(SettingsFile, Version299GivesDefaults) {
    std::string content = fileWith("SYNC1299", 0);
    content[8 + 0] = 5;
    writeFile(dir.file("vIvod.dat"), content);
    loadSettings();
    EXPECT_EQ(settings.selectedServer.load(), 0);
    EXPECT_EQ(settings.protocol.load(), Protocol::Auto);
}

TEST_F(SettingsFile, LaterVersionsAreTakenUnchanged) {
    for (const char* header : {"SYNC1401", "SYNC1500"}) {
        std::string content = fileWith(header, 0);
        content[8 + 0] = 9;
        content[8 + 396] = 2;
        content[8 + 140] = 77;
        writeFile(dir.file("vIvod.dat"), content);
        loadSettings();
        EXPECT_EQ(settings.selectedServer.load(), 9) << header;
        EXPECT_EQ(settings.offsetMultiplier.load(), OffsetUnit::Hours) << header;
        EXPECT_EQ(settings.syncTimeout.load(), std::chrono::seconds(77)) << header;
    }
}

TEST_F(SettingsFile, ForeignMagicOrVersionGivesDefaults) {
    const std::string good = "SYNC1400";
    for (size_t i = 0; i < 5; ++i) {
        std::string header = good;
        header[i] ^= 0x20;
        std::string content = fileWith(header, 0);
        content[8] = 4;
        writeFile(dir.file("vIvod.dat"), content);
        loadSettings();
        EXPECT_EQ(settings.selectedServer.load(), 0) << header;
        EXPECT_EQ(settings.protocol.load(), Protocol::Auto) << header;
    }
    for (const char* header : {"SYNC14 0", "SYNC1-40", "SYNC14x0"}) {
        EXPECT_EQ(classifySettingsHeader(std::span(reinterpret_cast<const uint8_t*>(header), 8)),
                  SettingsVersion::Foreign)
            << header;
    }
}

TEST_F(SettingsFile, ShortFileLaysItsBytesOverTheDefaults) {
    std::string content = fileWith("SYNC1400", 0, 100);  // ends before syncTimeout
    content[8 + 0] = 2;
    writeFile(dir.file("vIvod.dat"), content);
    loadSettings();
    EXPECT_EQ(settings.selectedServer.load(), 2);
    EXPECT_FALSE(settings.trayEnabled.load());  // present in the file as 0
    EXPECT_EQ(settings.syncTimeout.load(), std::chrono::seconds(15));
    EXPECT_EQ(settings.autoSyncCount.load(), 4u);
    EXPECT_EQ(settings.autoCheckCount.load(), 4u);
    EXPECT_EQ(settings.protocol.load(), Protocol::Auto);
}

TEST_F(SettingsFile, ZeroCountsTakeTheirDefaults) {
    writeFile(dir.file("vIvod.dat"), fileWith("SYNC1400", 0));
    loadSettings();
    EXPECT_EQ(settings.syncTimeout.load(), std::chrono::seconds(15));
    EXPECT_EQ(settings.autoSyncCount.load(), 4u);
    EXPECT_EQ(settings.autoCheckCount.load(), 4u);
}

// A damaged record starts like a default one: nothing out of range (an
// offset of 4,000,000,000 hours, a day of week 7) and no runtime word is
// taken from the file.
TEST_F(SettingsFile, ValuesOutOfRangeTakeTheirDefaults) {
    applyDefaults();
    const std::string defaults = [&] {
        uint8_t image[kSettingsRecordSize];
        snapshotSettings(image);
        return std::string(reinterpret_cast<const char*>(image), sizeof image);
    }();
    writeFile(dir.file("vIvod.dat"), fileWith("SYNC1400", 0xFF));
    std::memset(static_cast<void*>(&settings), 0, sizeof settings);
    loadSettings();
    uint8_t loaded[kSettingsRecordSize];
    snapshotSettings(loaded);
    // Every field but the date range (centred on the moment of loading) and
    // the reserved bytes, which are kept as they stand.
    for (size_t at = 0; at < kSettingsRecordSize; ++at) {
        const bool reserved = (at >= 12 && at < 16) || (at >= 20 && at < 24) || (at >= 112 && at < 116) ||
                              (at >= 400 && at < 420);
        const bool dateRange = at >= 144 && at < 160;
        if (reserved || dateRange) continue;
        EXPECT_EQ(loaded[at], static_cast<uint8_t>(defaults[at])) << "byte " << at;
    }
    EXPECT_LE(settings.dateRangeLow.load(), settings.dateRangeHigh.load());

    std::string content = fileWith("SYNC1400", 0);
    auto word = [&content](size_t at, uint32_t value) { std::memcpy(&content[8 + at], &value, 4); };
    word(8, 4'000'000'000u);  // offsetAmount
    word(396, 2);             // in hours
    word(104, 150);           // autoSyncCount
    word(116, 3);             // protocol
    word(420, 1);             // forceTimeProtocol
    word(424, 1);             // reserved, cleared on reading
    content[8 + 246] = 3;     // lockedTimeZone.standardDate: March,
    content[8 + 248] = 7;     // on day of week 7
    std::memcpy(&content[8 + 24], "999.1", 6);  // manualAddressA
    writeFile(dir.file("vIvod.dat"), content);
    loadSettings();
    EXPECT_EQ(settings.offsetAmount.load(), 0u);
    EXPECT_EQ(settings.offsetMultiplier.load(), OffsetUnit::Hours);
    EXPECT_EQ(settings.autoSyncCount.load(), 4u);
    EXPECT_EQ(settings.protocol.load(), Protocol::Auto);
    EXPECT_EQ(settings.forceTimeProtocol.load(), 0);
    EXPECT_EQ(std::memcmp(settings.reserved424, "\0\0\0\0", 4), 0);
    EXPECT_EQ(manualAddressA(), kDefaultManualAddressA);
    EXPECT_LE(lockedTimeZone().standardDate.dayOfWeek, 6);
}

TEST_F(SettingsFile, HeaderOnlyAndEmptyFiles) {
    writeFile(dir.file("vIvod.dat"), "SYNC1400");
    loadSettings();
    EXPECT_EQ(settings.protocol.load(), Protocol::Auto);
    writeFile(dir.file("vIvod.dat"), "");
    loadSettings();
    EXPECT_EQ(settings.protocol.load(), Protocol::Auto);
}

TEST_F(SettingsFile, SavingAlwaysWritesVersion400) {
    writeFile(dir.file("vIvod.dat"), fileWith("SYNC1300", 1));
    loadSettings();
    saveSettings();
    const std::string saved = readFile(dir.file("vIvod.dat"));
    EXPECT_EQ(saved.size(), kSettingsFileSize);
    EXPECT_EQ(saved.substr(0, 8), "SYNC1400");
}

TEST_F(SettingsFile, ServiceNeverSaves) {
    applyDefaults();
    serviceMode.store(1);
    saveSettings();
    serviceMode.store(0);
    EXPECT_FALSE(test::fileExists(dir.file("vIvod.dat")));
}

TEST_F(SettingsFile, FailedSaveLeavesRecordAlone) {
    applyDefaults();
    settings.selectedServer.store(3);
    EXPECT_FALSE(writeSettingsFile(dir.file("missing-folder/")));
    EXPECT_EQ(settings.selectedServer.load(), 3);
}

TEST(SettingsText, ManualAddressesAreBoundedAndTerminated) {
    setManualAddressB(std::string(100, '9'));
    EXPECT_EQ(manualAddressB(), std::string(31, '9'));
    EXPECT_EQ(settings.manualAddressB[31], '\0');
    setTimeZoneDisplayName(std::string(700, 'n'));
    EXPECT_EQ(timeZoneDisplayName(), std::string(599, 'n'));
}

TEST(SettingsWords, DateRangeUpperWordMovesAlone) {
    settings.dateRangeLow.store(platform::makeFileTime(5000, 0xDEADBEEF));
    settings.dateRangeLow.addToUpper(-1500);
    EXPECT_EQ(settings.dateRangeLow.load(), platform::makeFileTime(3500, 0xDEADBEEF));
}

}  // namespace
}  // namespace tavrel
