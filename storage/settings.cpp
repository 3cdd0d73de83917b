#include "storage/settings.h"

#include <cstring>
#include <type_traits>

#include "platform/file.h"
#include "platform/socket.h"
#include "storage/data_directory.h"
#include "storage/shared_text.h"

namespace tavrel {

SettingsRecord settings{};
std::atomic<int32_t> serviceMode{0};
std::atomic<int32_t> serviceInstalled{0};
std::atomic<int32_t> serviceRunning{0};

// Every 32-bit word of the record with its offset: the layout checks and
// the consistent snapshot both come from this one list.
#define TAVREL_SETTINGS_WORDS(X)           \
    X(selectedServer, 0)                   \
    X(offsetDirection, 4)                  \
    X(offsetAmount, 8)                     \
    X(slewDisabled, 12)                    \
    X(defaultServerOnly, 16)               \
    X(authenticatedOnly, 20)               \
    X(trayEnabled, 88)                     \
    X(averageEnabled, 92)                  \
    X(onTop, 96)                           \
    X(autoSyncEnabled, 100)                \
    X(autoSyncCount, 104)                  \
    X(autoSyncUnit, 108)                   \
    X(protocol, 116)                       \
    X(serverSource, 120)                   \
    X(timeServerEnabled, 124)              \
    X(minorOnly, 128)                      \
    X(startMinimised, 132)                 \
    X(windowsStartAction, 136)             \
    X(syncTimeout, 140)                    \
    X(dateRangeHigh.low, 144)              \
    X(dateRangeHigh.high, 148)             \
    X(dateRangeLow.low, 152)               \
    X(dateRangeLow.high, 156)              \
    X(residentEnabled, 160)                \
    X(dateRangeAutoReset, 164)             \
    X(dateRangeEnabled, 168)               \
    X(programStartAction, 172)             \
    X(timeZoneLocked, 348)                 \
    X(logDisabled, 352)                    \
    X(logSyncs, 356)                       \
    X(logChecks, 360)                      \
    X(logErrors, 364)                      \
    X(logServer, 368)                      \
    X(logOldTime, 372)                     \
    X(logResponse, 376)                    \
    X(logCorrection, 380)                  \
    X(autoCheckEnabled, 384)               \
    X(autoCheckCount, 388)                 \
    X(autoCheckUnit, 392)                  \
    X(offsetMultiplier, 396)               \
    X(forceTimeProtocol, 420)              \
    X(serverClock.low, 428)                \
    X(serverClock.high, 432)

static_assert(std::is_standard_layout_v<SettingsRecord>);
static_assert(std::is_trivially_copyable_v<SettingsRecord>);
static_assert(sizeof(SettingsRecord) == kSettingsRecordSize);
static_assert(sizeof(FlagWord) == 4 && sizeof(SecondsWord) == 4 && sizeof(EnumWord<Protocol>) == 4);
#define TAVREL_CHECK_OFFSET(field, offset) static_assert(offsetof(SettingsRecord, field) == (offset));
TAVREL_SETTINGS_WORDS(TAVREL_CHECK_OFFSET)
#undef TAVREL_CHECK_OFFSET
static_assert(offsetof(SettingsRecord, manualAddressA) == 24);
static_assert(offsetof(SettingsRecord, manualAddressB) == 56);
static_assert(offsetof(SettingsRecord, reserved112) == 112);
static_assert(offsetof(SettingsRecord, lockedTimeZone) == 176);
static_assert(offsetof(SettingsRecord, lockedTimeZone.standardName) == 180);
static_assert(offsetof(SettingsRecord, lockedTimeZone.standardDate) == 244);
static_assert(offsetof(SettingsRecord, lockedTimeZone.standardBias) == 260);
static_assert(offsetof(SettingsRecord, lockedTimeZone.daylightName) == 264);
static_assert(offsetof(SettingsRecord, lockedTimeZone.daylightDate) == 328);
static_assert(offsetof(SettingsRecord, lockedTimeZone.daylightBias) == 344);
static_assert(offsetof(SettingsRecord, reserved400) == 400);
static_assert(offsetof(SettingsRecord, reserved424) == 424);
static_assert(offsetof(SettingsRecord, timeZoneDisplayNameHead) == 436);

namespace {

constexpr char kMagic[] = "SYNC1";
constexpr size_t kMagicSize = 5;
constexpr size_t kHeaderSize = 8;
constexpr char kCurrentVersion[] = "400";
constexpr int kOldestTakenVersion = 300;

// Offsets of the upper-word moves that centre the date range on now.
constexpr uint32_t kDateRangeBelow = 6119;
constexpr uint32_t kDateRangeAbove = 73426;
// The sync time-out's range and default.
constexpr std::chrono::seconds kShortestSyncTimeout{5};
constexpr std::chrono::seconds kLongestSyncTimeout{99};
constexpr std::chrono::seconds kDefaultSyncTimeout{15};
// The largest offset of a zone from UTC, in minutes, that a record may hold.
constexpr int32_t kMostBiasMinutes = 24 * 60;

// Bytes of the display name beyond the part kept in the record; part of the
// process-wide settings, under the shared text mutex.
char timeZoneDisplayNameTail[kTimeZoneDisplayNameSize - sizeof(SettingsRecord::timeZoneDisplayNameHead)];

}  // namespace

platform::FileTime FileTimeWord::load() const {
    std::lock_guard lock(sharedTextMutex());
    return platform::makeFileTime(high.load(), low.load());
}

void FileTimeWord::store(platform::FileTime value) {
    std::lock_guard lock(sharedTextMutex());
    low.store(platform::lowerWord(value));
    high.store(platform::upperWord(value));
}

void FileTimeWord::addToUpper(int32_t delta) {
    std::lock_guard lock(sharedTextMutex());
    high.store(high.load() + static_cast<uint32_t>(delta));
}

std::chrono::milliseconds autoSyncPeriod() {
    return autoPeriod(settings.autoSyncCount.load(), settings.autoSyncUnit.load());
}

std::chrono::milliseconds autoCheckPeriod() {
    return autoPeriod(settings.autoCheckCount.load(), settings.autoCheckUnit.load());
}

std::string manualAddressA() {
    std::lock_guard lock(sharedTextMutex());
    return boundedText(settings.manualAddressA, kManualAddressSize);
}

std::string manualAddressB() {
    std::lock_guard lock(sharedTextMutex());
    return boundedText(settings.manualAddressB, kManualAddressSize);
}

void setManualAddressA(std::string_view text) {
    std::lock_guard lock(sharedTextMutex());
    copyBoundedText(settings.manualAddressA, kManualAddressSize, text);
}

void setManualAddressB(std::string_view text) {
    std::lock_guard lock(sharedTextMutex());
    copyBoundedText(settings.manualAddressB, kManualAddressSize, text);
}

platform::TimeZoneInformation lockedTimeZone() {
    std::lock_guard lock(sharedTextMutex());
    return settings.lockedTimeZone;
}

void setLockedTimeZone(const platform::TimeZoneInformation& zone) {
    std::lock_guard lock(sharedTextMutex());
    settings.lockedTimeZone = zone;
}

std::string timeZoneDisplayName() {
    std::lock_guard lock(sharedTextMutex());
    char joined[kTimeZoneDisplayNameSize];
    std::memcpy(joined, settings.timeZoneDisplayNameHead, sizeof settings.timeZoneDisplayNameHead);
    std::memcpy(joined + sizeof settings.timeZoneDisplayNameHead, timeZoneDisplayNameTail,
                sizeof timeZoneDisplayNameTail);
    return boundedText(joined, sizeof joined);
}

void setTimeZoneDisplayName(std::string_view text) {
    std::lock_guard lock(sharedTextMutex());
    char joined[kTimeZoneDisplayNameSize];
    copyBoundedText(joined, sizeof joined, text);
    std::memcpy(settings.timeZoneDisplayNameHead, joined, sizeof settings.timeZoneDisplayNameHead);
    std::memcpy(timeZoneDisplayNameTail, joined + sizeof settings.timeZoneDisplayNameHead,
                sizeof timeZoneDisplayNameTail);
}

void snapshotSettings(uint8_t (&image)[kSettingsRecordSize]) {
    std::lock_guard lock(sharedTextMutex());
    // Bytes outside the words are written only under this mutex or before
    // any other thread exists.
    auto copyBytes = [&image](size_t offset, const void* from, size_t size) {
        std::memcpy(image + offset, from, size);
    };
    copyBytes(24, settings.manualAddressA, sizeof settings.manualAddressA);
    copyBytes(56, settings.manualAddressB, sizeof settings.manualAddressB);
    copyBytes(112, settings.reserved112, sizeof settings.reserved112);
    copyBytes(176, &settings.lockedTimeZone, sizeof settings.lockedTimeZone);
    copyBytes(400, settings.reserved400, sizeof settings.reserved400);
    copyBytes(424, settings.reserved424, sizeof settings.reserved424);
    copyBytes(436, settings.timeZoneDisplayNameHead, sizeof settings.timeZoneDisplayNameHead);
#define TAVREL_COPY_WORD(field, offset)         \
    {                                           \
        const auto value = settings.field.loadRaw(); \
        copyBytes(offset, &value, sizeof value);  \
    }
    TAVREL_SETTINGS_WORDS(TAVREL_COPY_WORD)
#undef TAVREL_COPY_WORD
}

SettingsVersion classifySettingsHeader(std::span<const uint8_t> bytes) {
    if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kMagic, kMagicSize) != 0) {
        return SettingsVersion::Foreign;
    }
    int version = 0;
    for (size_t i = kMagicSize; i < kHeaderSize; ++i) {
        if (bytes[i] < '0' || bytes[i] > '9') return SettingsVersion::Foreign;
        version = version * 10 + (bytes[i] - '0');
    }
    if (version < kOldestTakenVersion) return SettingsVersion::Old;
    if (version == kOldestTakenVersion) return SettingsVersion::Migrate;
    return SettingsVersion::Taken;
}

namespace {

// A word outside its range takes its default.
template <class T>
void keepWithin(RawWord<T>& word, T low, T high, T fallback) {
    const T value = word.loadRaw();
    if (value < low || value > high) word.storeRaw(fallback);
}
// An enumerated word holds one of its enumerators, from the first to `last`.
template <class E>
void keepWithin(EnumWord<E>& word, E last, E fallback) {
    using Raw = std::underlying_type_t<E>;
    keepWithin<Raw>(word, 0, static_cast<Raw>(last), static_cast<Raw>(fallback));
}
// A flag is stored as 0 or 1.
void keepFlag(FlagWord& flag, bool fallback) { keepWithin<int32_t>(flag, 0, 1, fallback ? 1 : 0); }
void keepWithin(SecondsWord& word, std::chrono::seconds low, std::chrono::seconds high, std::chrono::seconds fallback) {
    keepWithin<uint32_t>(word, static_cast<uint32_t>(low.count()), static_cast<uint32_t>(high.count()),
                         static_cast<uint32_t>(fallback.count()));
}

// A text field must end within its bytes and hold a dotted-quad address.
bool addressValid(const char (&field)[kManualAddressSize]) {
    const void* end = std::memchr(field, 0, sizeof field);
    return end != nullptr &&
           platform::isDottedQuad(std::string_view(field, static_cast<size_t>(static_cast<const char*>(end) - field)));
}

bool nameValid(const char16_t (&name)[32]) {
    for (char16_t c : name) {
        if (c == 0) return true;
    }
    return false;
}

constexpr platform::SystemTime kNoTransition{};

// A transition: none (all zero), a yearly rule (year 0: week 1..5 of the
// month, day of week 0..6) or a fixed date.
bool transitionValid(const platform::SystemTime& t) {
    if (t.month == 0) return std::memcmp(&t, &kNoTransition, sizeof t) == 0;
    if (t.month > 12 || t.dayOfWeek > 6 || t.minute > 59 || t.second > 59 || t.milliseconds > 999) return false;
    // A yearly rule's hour is signed and may reach a week either side
    // (-167 to 167); a fixed date's is a time of day.
    const int hour = static_cast<int16_t>(t.hour);
    return t.year == 0 ? t.day >= 1 && t.day <= 5 && hour >= -167 && hour <= 167
                       : t.day >= 1 && t.day <= 31 && t.hour <= 23;
}

bool biasValid(int32_t minutes) { return minutes >= -kMostBiasMinutes && minutes <= kMostBiasMinutes; }

bool zoneValid(const platform::TimeZoneInformation& zone) {
    return biasValid(zone.bias) && biasValid(zone.standardBias) && biasValid(zone.daylightBias) &&
           nameValid(zone.standardName) && nameValid(zone.daylightName) && transitionValid(zone.standardDate) &&
           transitionValid(zone.daylightDate);
}

bool dateValid(platform::FileTime t) {
    platform::SystemTime unused{};
    return platform::fileTimeToSystemTime(t, unused);
}

}  // namespace

void checkSettingsRanges() {
    // Runtime words are never taken from the file.
    settings.forceTimeProtocol.store(0);
    settings.serverClock.store(0);
    {
        std::lock_guard lock(sharedTextMutex());
        std::memset(settings.timeZoneDisplayNameHead, 0, sizeof settings.timeZoneDisplayNameHead);
        // These reserved bytes once held a runtime word: they start clear
        // too, so that a saved file holds zeros there.
        std::memset(settings.reserved424, 0, sizeof settings.reserved424);
    }
    keepWithin<int32_t>(settings.selectedServer, 0, INT32_MAX, 0);
    keepWithin(settings.offsetDirection, OffsetDirection::Subtract, OffsetDirection::Add);
    keepWithin<uint32_t>(settings.offsetAmount, 0, 99, 0);
    keepFlag(settings.defaultServerOnly, false);
    keepFlag(settings.slewDisabled, false);
    keepFlag(settings.authenticatedOnly, false);
    {
        std::lock_guard lock(sharedTextMutex());
        if (!addressValid(settings.manualAddressA)) {
            copyBoundedText(settings.manualAddressA, kManualAddressSize, kDefaultManualAddressA);
        }
        if (!addressValid(settings.manualAddressB)) {
            copyBoundedText(settings.manualAddressB, kManualAddressSize, kDefaultManualAddressB);
        }
    }
    keepFlag(settings.trayEnabled, true);
    keepFlag(settings.averageEnabled, false);
    keepFlag(settings.onTop, false);
    keepFlag(settings.autoSyncEnabled, true);
    keepWithin<uint32_t>(settings.autoSyncCount, 1, 99, 4);
    keepWithin(settings.autoSyncUnit, TimeUnit::Days, TimeUnit::Hours);
    keepWithin(settings.protocol, Protocol::Auto, Protocol::Auto);
    keepWithin(settings.serverSource, ServerSource::ManualB, ServerSource::List);
    keepFlag(settings.timeServerEnabled, false);
    keepFlag(settings.minorOnly, false);
    keepFlag(settings.startMinimised, false);
    keepWithin(settings.windowsStartAction, WindowsStartAction::SyncAndExit, WindowsStartAction::None);
    keepWithin(settings.syncTimeout, kShortestSyncTimeout, kLongestSyncTimeout, kDefaultSyncTimeout);
    const platform::FileTime low = settings.dateRangeLow.load();
    const platform::FileTime high = settings.dateRangeHigh.load();
    if (!dateValid(low) || !dateValid(high) || low > high) resetDateRange();
    keepFlag(settings.residentEnabled, false);
    keepFlag(settings.dateRangeAutoReset, true);
    keepFlag(settings.dateRangeEnabled, true);
    keepWithin(settings.programStartAction, StartAction::Correct, StartAction::None);
    if (!zoneValid(lockedTimeZone())) {
        platform::TimeZoneInformation zone;
        setLockedTimeZone(platform::getTimeZoneInformation(zone) != platform::TimeZoneResult::Failed
                              ? zone
                              : platform::TimeZoneInformation{});
    }
    keepFlag(settings.timeZoneLocked, false);
    keepFlag(settings.logDisabled, false);
    keepFlag(settings.logSyncs, true);
    keepFlag(settings.logChecks, false);
    keepFlag(settings.logErrors, true);
    keepFlag(settings.logServer, true);
    keepFlag(settings.logOldTime, false);
    keepFlag(settings.logResponse, true);
    keepFlag(settings.logCorrection, true);
    keepFlag(settings.autoCheckEnabled, false);
    keepWithin<uint32_t>(settings.autoCheckCount, 1, 99, 4);
    keepWithin(settings.autoCheckUnit, TimeUnit::Days, TimeUnit::Hours);
    keepWithin(settings.offsetMultiplier, OffsetUnit::Hours, OffsetUnit::Minutes);
}

void applySettingsImage(std::span<const uint8_t> fileBytes) {
    const SettingsVersion version = classifySettingsHeader(fileBytes);
    if (version == SettingsVersion::Foreign || version == SettingsVersion::Old) {
        applyDefaults();
        return;
    }
    // A short file lays what it has over the defaults; a whole record
    // replaces every default, so they are not worked out for it.
    const size_t present = fileBytes.size() - kHeaderSize;
    const size_t take = present < kSettingsRecordSize ? present : kSettingsRecordSize;
    if (take < kSettingsRecordSize) applyDefaults();
    {
        std::lock_guard lock(sharedTextMutex());
        std::memcpy(static_cast<void*>(&settings), fileBytes.data() + kHeaderSize, take);
    }
    if (version == SettingsVersion::Migrate) {
        resetDateRange();
        settings.offsetMultiplier.store(OffsetUnit::Minutes);
    }
    checkSettingsRanges();
}

void resetDateRange() {
    platform::FileTime now = 0;
    if (!platform::systemTimeToFileTime(platform::getLocalTime(), now)) return;
    const uint32_t upper = platform::upperWord(now);
    const uint32_t lower = platform::lowerWord(now);
    settings.dateRangeLow.store(platform::makeFileTime(upper - kDateRangeBelow, lower));
    settings.dateRangeHigh.store(platform::makeFileTime(upper + kDateRangeAbove, lower));
}

void applyDefaults() {
    settings.selectedServer.store(0);
    settings.offsetDirection.store(OffsetDirection::Add);
    settings.offsetAmount.store(0);
    settings.defaultServerOnly.store(false);
    settings.slewDisabled.store(false);
    settings.authenticatedOnly.store(false);
    setManualAddressA(kDefaultManualAddressA);
    setManualAddressB(kDefaultManualAddressB);
    settings.trayEnabled.store(true);
    settings.averageEnabled.store(false);
    settings.onTop.store(false);
    settings.autoSyncEnabled.store(true);
    settings.autoSyncCount.store(4);
    settings.autoSyncUnit.store(TimeUnit::Hours);
    settings.protocol.store(Protocol::Auto);
    settings.serverSource.store(ServerSource::List);
    settings.timeServerEnabled.store(false);
    settings.minorOnly.store(false);
    settings.startMinimised.store(false);
    settings.windowsStartAction.store(WindowsStartAction::None);
    settings.syncTimeout.store(kDefaultSyncTimeout);
    resetDateRange();
    settings.residentEnabled.store(false);
    settings.dateRangeAutoReset.store(true);
    settings.dateRangeEnabled.store(true);
    settings.programStartAction.store(StartAction::None);
    platform::TimeZoneInformation zone;
    if (platform::getTimeZoneInformation(zone) != platform::TimeZoneResult::Failed) setLockedTimeZone(zone);
    settings.timeZoneLocked.store(false);
    settings.logDisabled.store(false);
    settings.logSyncs.store(true);
    settings.logChecks.store(false);
    settings.logErrors.store(true);
    settings.logServer.store(true);
    settings.logOldTime.store(false);
    settings.logResponse.store(true);
    settings.logCorrection.store(true);
    settings.autoCheckEnabled.store(false);
    settings.autoCheckCount.store(4);
    settings.autoCheckUnit.store(TimeUnit::Hours);
    settings.offsetMultiplier.store(OffsetUnit::Minutes);
}

void loadSettings() {
    platform::File file = platform::File::openForReading(dataDirectory() + kSettingsFileName);
    if (file.valid()) {
        uint8_t bytes[kSettingsFileSize];
        size_t have = 0;
        while (have < sizeof bytes) {
            const long n = file.read(bytes + have, sizeof bytes - have);
            if (n <= 0) break;
            have += static_cast<size_t>(n);
        }
        file.close();
        applySettingsImage(std::span<const uint8_t>(bytes, have));
    } else {
        applyDefaults();
    }
}

bool writeSettingsFile(const std::string& directory) {
    uint8_t record[kSettingsRecordSize];
    snapshotSettings(record);
    std::string content;
    content.reserve(kSettingsFileSize);
    content.append(kMagic, kMagicSize);
    content.append(kCurrentVersion, 3);
    content.append(reinterpret_cast<const char*>(record), sizeof record);
    return platform::writeFileReplacing(directory + kSettingsFileName, content);
}

bool saveSettings() {
    if (serviceMode.load() != 0) return true;
    // A failed write leaves the old file and the record as they were.
    const bool saved = writeSettingsFile(dataDirectory());
    if (serviceInstalled.load() != 0) {
        const std::string serviceData = serviceDataDirectory();
        if (!serviceData.empty()) (void)writeSettingsFile(serviceData);
    }
    return saved;
}

}  // namespace tavrel
