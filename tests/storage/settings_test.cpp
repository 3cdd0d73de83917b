#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <string_view>

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
    setManualAddressA("127.1.2.3");
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
    EXPECT_EQ(manualAddressA(), "127.1.2.3");
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
        const bool reserved = (at >= 20 && at < 24) || (at >= 112 && at < 116) ||
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
    {
        const test::ScopedWord service(serviceMode, 1);
        saveSettings();
    }
    EXPECT_FALSE(test::fileExists(dir.file("vIvod.dat")));
}

TEST_F(SettingsFile, FailedSaveLeavesRecordAlone) {
    applyDefaults();
    settings.selectedServer.store(3);
    EXPECT_FALSE(writeSettingsFile(dir.file("missing-folder/")));
    EXPECT_EQ(settings.selectedServer.load(), 3);
}

// Three sets of choices made through the typed accessors, with the bytes of
// the file an earlier build (whose words were plain integers) wrote for
// each: the file must not change, and reading it must give the same choices
// back. Between them the sets take every enumerator, and each flag on and
// off.
struct Choices {
    int32_t selectedServer;
    OffsetDirection offsetDirection;
    uint32_t offsetAmount;
    OffsetUnit offsetUnit;
    const char* manualA;
    const char* manualB;
    uint32_t autoSyncCount;
    TimeUnit autoSyncUnit;
    uint32_t autoCheckCount;
    TimeUnit autoCheckUnit;
    Protocol protocol;
    ServerSource source;
    WindowsStartAction windowsStart;
    StartAction programStart;
    std::chrono::seconds syncTimeout;
    platform::FileTime dateRangeLow;
    platform::FileTime dateRangeHigh;
    int32_t zoneBias;
    uint32_t flags;  // bit n: kFlags[n] on
    const char* displayName;
    const char* file;  // the whole file as hex
};

constexpr FlagWord SettingsRecord::*kFlags[] = {
    &SettingsRecord::defaultServerOnly,  &SettingsRecord::trayEnabled,      &SettingsRecord::averageEnabled,
    &SettingsRecord::onTop,              &SettingsRecord::autoSyncEnabled,  &SettingsRecord::timeServerEnabled,
    &SettingsRecord::minorOnly,          &SettingsRecord::startMinimised,   &SettingsRecord::residentEnabled,
    &SettingsRecord::dateRangeAutoReset, &SettingsRecord::dateRangeEnabled, &SettingsRecord::timeZoneLocked,
    &SettingsRecord::logDisabled,        &SettingsRecord::logSyncs,         &SettingsRecord::logChecks,
    &SettingsRecord::logErrors,          &SettingsRecord::logServer,        &SettingsRecord::logOldTime,
    &SettingsRecord::logResponse,        &SettingsRecord::logCorrection,    &SettingsRecord::autoCheckEnabled};

const Choices kChoices[] = {
    {3, OffsetDirection::Add, 17, OffsetUnit::Minutes, "127.0.1.1", "127.0.2.9", 7, TimeUnit::Days, 50,
     TimeUnit::Minutes, Protocol::Time, ServerSource::ManualA, WindowsStartAction::None, StartAction::Correct,
     std::chrono::seconds(37), 0x01D00000'12345678, 0x01E00000'9ABCDEF0, -60, 0x155555, "Zone 0",
     "53594e4331343030030000000000000011000000000000000100000000000000"
     "3132372e302e312e310000000000000000000000000000000000000000000000"
     "3132372e302e322e390000000000000000000000000000000000000000000000"
     "0000000001000000000000000100000007000000020000000000000000000000"
     "010000000000000001000000000000000000000025000000f0debc9a0000e001"
     "785634120000d00101000000000000000100000002000000c4ffffff53007400"
     "61006e0064006100720064000000000000000000000000000000000000000000"
     "0000000000000000000000000000000000000000000000000000000000000a00"
     "00000500030000000000000000000000530075006d006d006500720000000000"
     "0000000000000000000000000000000000000000000000000000000000000000"
     "0000000000000000000000000000000000000300000005000200000000000000"
     "c4ffffff00000000010000000000000001000000000000000100000000000000"
     "0100000000000000010000003200000000000000010000000000000000000000"
     "000000000000000000000000000000000000000000000000000000005a6f6e65"
     "2030000000000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000000000000000000000"},
    {4, OffsetDirection::Subtract, 57, OffsetUnit::Hours, "127.0.1.2", "127.0.3.9", 8, TimeUnit::Minutes, 51,
     TimeUnit::Hours, Protocol::Sntp, ServerSource::ManualB, WindowsStartAction::Start, StartAction::None,
     std::chrono::seconds(57), 0x01D00001'12345678, 0x01E00001'9ABCDEF0, -120, 0x0AAAAA, "Zone 1",
     "53594e4331343030040000000100000039000000000000000000000000000000"
     "3132372e302e312e320000000000000000000000000000000000000000000000"
     "3132372e302e332e390000000000000000000000000000000000000000000000"
     "0100000000000000010000000000000008000000000000000000000001000000"
     "020000000100000000000000010000000100000039000000f0debc9a0100e001"
     "785634120100d0010000000001000000000000000000000088ffffff53007400"
     "61006e0064006100720064000000000000000000000000000000000000000000"
     "0000000000000000000000000000000000000000000000000000000000000a00"
     "00000500030000000000000000000000530075006d006d006500720000000000"
     "0000000000000000000000000000000000000000000000000000000000000000"
     "0000000000000000000000000000000000000300000005000200000000000000"
     "c4ffffff01000000000000000100000000000000010000000000000001000000"
     "0000000001000000000000003300000001000000020000000000000000000000"
     "000000000000000000000000000000000000000000000000000000005a6f6e65"
     "2031000000000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000000000000000000000"},
    {5, OffsetDirection::Add, 97, OffsetUnit::Seconds, "127.0.1.3", "127.0.4.9", 9, TimeUnit::Hours, 52,
     TimeUnit::Days, Protocol::Auto, ServerSource::List, WindowsStartAction::SyncAndExit, StartAction::Check,
     std::chrono::seconds(77), 0x01D00002'12345678, 0x01E00002'9ABCDEF0, -180, 0x1FFFFF, "Zone 2",
     "53594e4331343030050000000000000061000000000000000100000000000000"
     "3132372e302e312e330000000000000000000000000000000000000000000000"
     "3132372e302e342e390000000000000000000000000000000000000000000000"
     "0100000001000000010000000100000009000000010000000000000002000000"
     "00000000010000000100000001000000020000004d000000f0debc9a0200e001"
     "785634120200d001010000000100000001000000010000004cffffff53007400"
     "61006e0064006100720064000000000000000000000000000000000000000000"
     "0000000000000000000000000000000000000000000000000000000000000a00"
     "00000500030000000000000000000000530075006d006d006500720000000000"
     "0000000000000000000000000000000000000000000000000000000000000000"
     "0000000000000000000000000000000000000300000005000200000000000000"
     "c4ffffff01000000010000000100000001000000010000000100000001000000"
     "0100000001000000010000003400000002000000000000000000000000000000"
     "000000000000000000000000000000000000000000000000000000005a6f6e65"
     "2032000000000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000000000000000000000"},
};

// A zone with European rules at the given bias.
platform::TimeZoneInformation zoneWithBias(int32_t bias) {
    platform::TimeZoneInformation zone;
    zone.bias = bias;
    std::memcpy(zone.standardName, u"Standard", sizeof u"Standard");
    zone.standardDate = platform::SystemTime{0, 10, 0, 5, 3, 0, 0, 0};
    std::memcpy(zone.daylightName, u"Summer", sizeof u"Summer");
    zone.daylightDate = platform::SystemTime{0, 3, 0, 5, 2, 0, 0, 0};
    zone.daylightBias = -60;
    return zone;
}

void choose(const Choices& c) {
    settings.selectedServer.store(c.selectedServer);
    settings.offsetDirection.store(c.offsetDirection);
    settings.offsetAmount.store(c.offsetAmount);
    settings.offsetMultiplier.store(c.offsetUnit);
    setManualAddressA(c.manualA);
    setManualAddressB(c.manualB);
    settings.autoSyncCount.store(c.autoSyncCount);
    settings.autoSyncUnit.store(c.autoSyncUnit);
    settings.autoCheckCount.store(c.autoCheckCount);
    settings.autoCheckUnit.store(c.autoCheckUnit);
    settings.protocol.store(c.protocol);
    settings.serverSource.store(c.source);
    settings.windowsStartAction.store(c.windowsStart);
    settings.programStartAction.store(c.programStart);
    settings.syncTimeout.store(c.syncTimeout);
    settings.dateRangeLow.store(c.dateRangeLow);
    settings.dateRangeHigh.store(c.dateRangeHigh);
    setLockedTimeZone(zoneWithBias(c.zoneBias));
    for (size_t n = 0; n < std::size(kFlags); ++n) (settings.*kFlags[n]).store(((c.flags >> n) & 1) != 0);
    setTimeZoneDisplayName(c.displayName);
}

void expectChosen(const Choices& c) {
    EXPECT_EQ(settings.selectedServer.load(), c.selectedServer);
    EXPECT_EQ(settings.offsetDirection.load(), c.offsetDirection);
    EXPECT_EQ(settings.offsetAmount.load(), c.offsetAmount);
    EXPECT_EQ(settings.offsetMultiplier.load(), c.offsetUnit);
    EXPECT_EQ(manualAddressA(), c.manualA);
    EXPECT_EQ(manualAddressB(), c.manualB);
    EXPECT_EQ(settings.autoSyncCount.load(), c.autoSyncCount);
    EXPECT_EQ(settings.autoSyncUnit.load(), c.autoSyncUnit);
    EXPECT_EQ(settings.autoCheckCount.load(), c.autoCheckCount);
    EXPECT_EQ(settings.autoCheckUnit.load(), c.autoCheckUnit);
    EXPECT_EQ(settings.protocol.load(), c.protocol);
    EXPECT_EQ(settings.serverSource.load(), c.source);
    EXPECT_EQ(settings.windowsStartAction.load(), c.windowsStart);
    EXPECT_EQ(settings.programStartAction.load(), c.programStart);
    EXPECT_EQ(settings.syncTimeout.load(), c.syncTimeout);
    EXPECT_EQ(settings.dateRangeLow.load(), c.dateRangeLow);
    EXPECT_EQ(settings.dateRangeHigh.load(), c.dateRangeHigh);
    const platform::TimeZoneInformation zone = lockedTimeZone();
    const platform::TimeZoneInformation chosen = zoneWithBias(c.zoneBias);
    EXPECT_EQ(std::memcmp(&zone, &chosen, sizeof zone), 0);
    for (size_t n = 0; n < std::size(kFlags); ++n) {
        EXPECT_EQ((settings.*kFlags[n]).load(), ((c.flags >> n) & 1) != 0) << "flag " << n;
    }
}

std::string bytesOf(std::string_view hex) {
    auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(digit(hex[i]) * 16 + digit(hex[i + 1]));
    return bytes;
}

TEST_F(SettingsFile, TypedChoicesKeepTheFileByteForByte) {
    for (const Choices& c : kChoices) {
        SCOPED_TRACE(c.displayName);
        std::memset(static_cast<void*>(&settings), 0, sizeof settings);
        choose(c);
        ASSERT_TRUE(writeSettingsFile(dir.path()));
        const std::string written = readFile(dir.file("vIvod.dat"));
        const std::string expected = bytesOf(c.file);
        ASSERT_EQ(written.size(), expected.size());
        std::string differing;  // file offsets of the bytes that differ
        for (size_t at = 0; at < expected.size(); ++at) {
            if (written[at] != expected[at]) differing += " " + std::to_string(at);
        }
        EXPECT_EQ(differing, "");

        std::memset(static_cast<void*>(&settings), 0, sizeof settings);
        writeFile(dir.file("vIvod.dat"), bytesOf(c.file));
        loadSettings();
        expectChosen(c);
    }
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
