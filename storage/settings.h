// The settings record: the program's whole persistent configuration, one
// 500-byte block stored byte for byte in "vIvod.dat" behind an 8-byte
// magic and version ("SYNC1400").
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>

#include "platform/time.h"
#include "platform/timezone.h"

namespace tavrel {

// The enumerated settings, each kept in a 32-bit word of the record as
// the position of its entry in the Options page's list.
enum class Protocol : int32_t { Time = 0, Sntp = 1, Auto = 2 };
enum class ServerSource : int32_t { List = 0, ManualA = 1, ManualB = 2 };
// The unit of the AutoSync and AutoCheck periods.
enum class TimeUnit : int32_t { Minutes = 0, Hours = 1, Days = 2 };
// The unit of the user's fixed offset.
enum class OffsetUnit : int32_t { Seconds = 0, Minutes = 1, Hours = 2 };
enum class OffsetDirection : int32_t { Add = 0, Subtract = 1 };
// What the program does once it has started: nothing, a Check or a Correct.
enum class StartAction : int32_t { None = 0, Check = 1, Correct = 2 };
// What happens at the user's logon: nothing, the program starts, or it
// starts in quick mode (sync, then exit).
enum class WindowsStartAction : int32_t { None = 0, Start = 1, SyncAndExit = 2 };

// The stored bits of one 32-bit word of the record, read and written
// atomically so that the window, supervisor, query and server threads may
// share it. The raw access is for storage/ (the file image, the range
// checks) and for tests that must plant a value no accessor would store.
template <class T>
struct RawWord {
    static_assert(sizeof(T) == 4);
    T raw;
    T loadRaw() const noexcept { return std::atomic_ref<T>(const_cast<T&>(raw)).load(); }
    void storeRaw(T value) noexcept { std::atomic_ref<T>(raw).store(value); }
};

// A number: a count, an index or a part of a FILETIME.
template <class T>
struct Word : RawWord<T> {
    T load() const noexcept { return this->loadRaw(); }
    void store(T value) noexcept { this->storeRaw(value); }
};

// An enumerated setting. A word that holds no enumerator (a list with
// nothing selected stores -1) loads as that value, and the caller's
// fallback branch decides for it.
template <class E>
struct EnumWord : RawWord<std::underlying_type_t<E>> {
    E load() const noexcept { return static_cast<E>(this->loadRaw()); }
    void store(E value) noexcept { this->storeRaw(static_cast<std::underlying_type_t<E>>(value)); }
};

// An on/off setting: 1 on, 0 off; any other non-zero word reads as on.
struct FlagWord : RawWord<int32_t> {
    bool load() const noexcept { return loadRaw() != 0; }
    void store(bool on) noexcept { storeRaw(on ? 1 : 0); }
};

// A time-out kept as whole seconds.
struct SecondsWord : RawWord<uint32_t> {
    std::chrono::seconds load() const noexcept { return std::chrono::seconds(loadRaw()); }
    void store(std::chrono::seconds value) noexcept { storeRaw(static_cast<uint32_t>(value.count())); }
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
    EnumWord<OffsetDirection> offsetDirection;  // 4
    Word<uint32_t> offsetAmount;             // 8
    // Small corrections step instead of slewing. Stored inverted so that a
    // file written before it existed (zeros here) slews.
    FlagWord slewDisabled;                   // 12
    FlagWord defaultServerOnly;              // 16
    // The list walk asks only nts:// entries (where the list holds one).
    // Zero in files written before it existed: off.
    FlagWord authenticatedOnly;              // 20
    char manualAddressA[32];                 // 24
    char manualAddressB[32];                 // 56
    FlagWord trayEnabled;                    // 88
    FlagWord averageEnabled;                 // 92
    FlagWord onTop;                          // 96
    FlagWord autoSyncEnabled;                // 100
    Word<uint32_t> autoSyncCount;            // 104
    EnumWord<TimeUnit> autoSyncUnit;         // 108
    uint8_t reserved112[4];                  // 112
    EnumWord<Protocol> protocol;             // 116
    EnumWord<ServerSource> serverSource;     // 120
    FlagWord timeServerEnabled;              // 124
    FlagWord minorOnly;                      // 128
    FlagWord startMinimised;                 // 132
    EnumWord<WindowsStartAction> windowsStartAction;  // 136
    SecondsWord syncTimeout;                 // 140
    FileTimeWord dateRangeHigh;              // 144: local time
    FileTimeWord dateRangeLow;               // 152: local time
    FlagWord residentEnabled;                // 160
    FlagWord dateRangeAutoReset;             // 164
    FlagWord dateRangeEnabled;               // 168
    EnumWord<StartAction> programStartAction;  // 172
    platform::TimeZoneInformation lockedTimeZone;  // 176
    FlagWord timeZoneLocked;                 // 348
    FlagWord logDisabled;                    // 352
    FlagWord logSyncs;                       // 356
    FlagWord logChecks;                      // 360
    FlagWord logErrors;                      // 364
    FlagWord logServer;                      // 368
    FlagWord logOldTime;                     // 372
    FlagWord logResponse;                    // 376
    FlagWord logCorrection;                  // 380
    FlagWord autoCheckEnabled;               // 384
    Word<uint32_t> autoCheckCount;           // 388
    EnumWord<TimeUnit> autoCheckUnit;        // 392
    EnumWord<OffsetUnit> offsetMultiplier;   // 396
    uint8_t reserved400[20];                 // 400
    Word<int32_t> forceTimeProtocol;         // 420: runtime
    uint8_t reserved424[4];                  // 424: cleared when a file is read
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

// One unit of the AutoSync and AutoCheck periods; a word beyond Hours
// counts as days.
constexpr std::chrono::milliseconds periodUnitLength(TimeUnit unit) {
    switch (unit) {
        case TimeUnit::Minutes: return std::chrono::minutes(1);
        case TimeUnit::Hours: return std::chrono::hours(1);
        default: return std::chrono::hours(24);
    }
}
constexpr std::chrono::milliseconds autoPeriod(uint32_t count, TimeUnit unit) {
    return static_cast<std::chrono::milliseconds::rep>(count) * periodUnitLength(unit);
}
// The periods set now: count units of the unit.
std::chrono::milliseconds autoSyncPeriod();
std::chrono::milliseconds autoCheckPeriod();

// One unit of the user's fixed offset; a word other than Seconds and Hours
// counts as minutes.
constexpr std::chrono::seconds offsetUnitLength(OffsetUnit unit) {
    switch (unit) {
        case OffsetUnit::Seconds: return std::chrono::seconds(1);
        case OffsetUnit::Hours: return std::chrono::hours(1);
        default: return std::chrono::minutes(1);
    }
}

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
