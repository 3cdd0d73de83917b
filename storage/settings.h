// The settings record: the program's whole persistent configuration, one
// 500-byte block stored byte for byte in "vIvod.dat" behind an 8-byte
// magic and version ("SYNC1400").
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/time.h"
#include "platform/timezone.h"

namespace tavrel {

// One 32-bit word of the record, read and written atomically so that the
// window, supervisor, query and server threads may share it.
template <class T>
struct Word {
    static_assert(sizeof(T) == 4);
    T raw;
    T load() const noexcept { return std::atomic_ref<T>(const_cast<T&>(raw)).load(); }
    void store(T value) noexcept { std::atomic_ref<T>(raw).store(value); }
};

// A FILETIME kept as two words, low first. Whole-value access takes the
// shared text mutex so that no reader sees half an update.
struct FileTimeWord {
    Word<uint32_t> low;
    Word<uint32_t> high;
    platform::FileTime load() const;
    void store(platform::FileTime value);
    // Adds delta to the upper word alone (the date-range widening).
    void addToUpper(int32_t delta);
};

// Text fields and the time-zone record are read and written through the
// accessors below, never directly while other threads run.
struct SettingsRecord {
    Word<int32_t> selectedServer;            // 0
    Word<int32_t> offsetDirection;           // 4: 0 add, 1 subtract
    Word<uint32_t> offsetAmount;             // 8
    uint8_t reserved12[4];                   // 12
    Word<int32_t> defaultServerOnly;         // 16
    uint8_t reserved20[4];                   // 20
    char manualAddressA[32];                 // 24
    char manualAddressB[32];                 // 56
    Word<int32_t> trayEnabled;               // 88
    Word<int32_t> averageEnabled;            // 92
    Word<int32_t> onTop;                     // 96
    Word<int32_t> autoSyncEnabled;           // 100
    Word<uint32_t> autoSyncCount;            // 104
    Word<int32_t> autoSyncUnit;              // 108: 0 minutes, 1 hours, 2 days
    uint8_t reserved112[4];                  // 112
    Word<int32_t> protocol;                  // 116: 0 TIME, 1 SNTP, 2 Auto
    Word<int32_t> serverSource;              // 120: 0 list, 1 Manual A, 2 Manual B
    Word<int32_t> timeServerEnabled;         // 124
    Word<int32_t> minorOnly;                 // 128
    Word<int32_t> startMinimised;            // 132
    Word<int32_t> windowsStartAction;        // 136
    Word<uint32_t> syncTimeout;              // 140: seconds
    FileTimeWord dateRangeHigh;              // 144: local time
    FileTimeWord dateRangeLow;               // 152: local time
    Word<int32_t> residentEnabled;           // 160
    Word<int32_t> dateRangeAutoReset;        // 164
    Word<int32_t> dateRangeEnabled;          // 168
    Word<int32_t> programStartAction;        // 172
    platform::TimeZoneInformation lockedTimeZone;  // 176
    Word<int32_t> timeZoneLocked;            // 348
    Word<int32_t> logDisabled;               // 352
    Word<int32_t> logSyncs;                  // 356
    Word<int32_t> logChecks;                 // 360
    Word<int32_t> logErrors;                 // 364
    Word<int32_t> logServer;                 // 368
    Word<int32_t> logOldTime;                // 372
    Word<int32_t> logResponse;               // 376
    Word<int32_t> logCorrection;             // 380
    Word<int32_t> autoCheckEnabled;          // 384
    Word<uint32_t> autoCheckCount;           // 388
    Word<int32_t> autoCheckUnit;             // 392
    Word<int32_t> offsetMultiplier;          // 396: 0 seconds, 1 minutes, 2 hours
    uint8_t reserved400[20];                 // 400
    Word<int32_t> forceTimeProtocol;         // 420: runtime
    Word<int32_t> abortQuery;                // 424: runtime
    FileTimeWord serverClock;                // 428: runtime, local time
    char timeZoneDisplayNameHead[64];        // 436: runtime, first bytes of the display name
};

inline constexpr char kSettingsFileName[] = "vIvod.dat";
inline constexpr size_t kSettingsRecordSize = 500;
inline constexpr size_t kSettingsFileSize = 508;
inline constexpr size_t kManualAddressSize = 32;
inline constexpr size_t kTimeZoneDisplayNameSize = 600;

// The one process-wide record; all zero at process start. Process-wide: it
// is the settings file's image, which every part and thread of the program reads.
extern SettingsRecord settings;

// Access to the text fields and the locked zone under the shared mutex.
std::string manualAddressA();
std::string manualAddressB();
void setManualAddressA(std::string_view text);
void setManualAddressB(std::string_view text);
platform::TimeZoneInformation lockedTimeZone();
void setLockedTimeZone(const platform::TimeZoneInformation& zone);
// The current zone's display name: 600 bytes whose first 64 travel in the record.
std::string timeZoneDisplayName();
void setTimeZoneDisplayName(std::string_view text);

// The record as its 500-byte image, taken consistently while other threads
// may write single words.
void snapshotSettings(uint8_t (&image)[kSettingsRecordSize]);

// What the first eight bytes of a settings file say.
enum class SettingsVersion { Foreign, Old, Taken, Migrate };
// Reads "SYNC1" and three decimal digits: Foreign unless both are exact,
// Old below 300, Migrate at exactly 300, Taken otherwise.
SettingsVersion classifySettingsHeader(std::span<const uint8_t> bytes);

// Lays a settings file's bytes over the record: defaults for a foreign or
// old file; otherwise the defaults first and then the record bytes that are
// present, with version 300 migrated. A count field of 0, which the Options
// pages never store, takes its default.
void applySettingsImage(std::span<const uint8_t> fileBytes);

// Sets every field that has a default, including the date range; leaves the
// reserved bytes and the runtime words alone.
void applyDefaults();
// Centres the accepted date range on the local time now: the upper word of
// the low bound 6119 below now, that of the high bound 73426 above.
void resetDateRange();
// Reads DataDirectory + "vIvod.dat" (or applies the defaults).
void loadSettings();
// Writes "SYNC1400" and the record to directory + "vIvod.dat".
[[nodiscard]] bool writeSettingsFile(const std::string& directory);
// Persists the settings (and the service's copy while it is installed);
// does nothing in the service. False when the data folder's file could not
// be written (it then keeps what it held).
bool saveSettings();
// Checks every field read from a file against its range: a value outside
// it takes the field's default. Runtime words start clear.
void checkSettingsRanges();

// Set for the whole run of the service process, before its threads start.
// Process-wide: it says what the process is.
extern std::atomic<int32_t> serviceMode;
// The last look at the service manager found the service installed: saving
// then also writes the service's own copy of the settings. Written by the
// window thread. Process-wide: it is the machine's service, which saving asks about.
extern std::atomic<int32_t> serviceInstalled;
// The same look found it running (process-wide beside it).
extern std::atomic<int32_t> serviceRunning;

// The default manual addresses (public servers answering TIME and SNTP).
inline constexpr const char* kDefaultManualAddressA = "129.6.15.28";
inline constexpr const char* kDefaultManualAddressB = "129.6.15.29";

}  // namespace tavrel
