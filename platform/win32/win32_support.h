// What the Windows platform files share: conversions between the platform
// records and their Win32 twins, registry keys, privileges and program
// command lines. Internal to platform/win32.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

#include "platform/time.h"
#include "platform/timezone.h"

namespace tavrel::platform::win32 {

// SystemTime is laid out as SYSTEMTIME and TimeZoneInformation as
// TIME_ZONE_INFORMATION; the copies go field by field all the same.
static_assert(sizeof(SYSTEMTIME) == sizeof(SystemTime));
static_assert(sizeof(TIME_ZONE_INFORMATION) == sizeof(TimeZoneInformation));
static_assert(sizeof(WCHAR) == sizeof(char16_t));

inline SYSTEMTIME toSystemTime(const SystemTime& t) {
    SYSTEMTIME st{};
    st.wYear = t.year;
    st.wMonth = t.month;
    st.wDayOfWeek = t.dayOfWeek;
    st.wDay = t.day;
    st.wHour = t.hour;
    st.wMinute = t.minute;
    st.wSecond = t.second;
    st.wMilliseconds = t.milliseconds;
    return st;
}

inline SystemTime fromSystemTime(const SYSTEMTIME& st) {
    SystemTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.dayOfWeek = st.wDayOfWeek;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.milliseconds = st.wMilliseconds;
    return t;
}

inline FILETIME toFileTime(FileTime t) {
    FILETIME ft;
    ft.dwLowDateTime = lowerWord(t);
    ft.dwHighDateTime = upperWord(t);
    return ft;
}

inline FileTime fromFileTime(const FILETIME& ft) { return makeFileTime(ft.dwHighDateTime, ft.dwLowDateTime); }

// The SYSTEMTIME SetSystemTime is given to set the clock to `utc` (UTC
// fields, milliseconds cut off); false for a time it cannot hold.
inline bool clockSystemTime(FileTime utc, SYSTEMTIME& st) {
    const FILETIME ft = toFileTime(utc);
    return FileTimeToSystemTime(&ft, &st) != FALSE;
}

inline TIME_ZONE_INFORMATION toZoneRecord(const TimeZoneInformation& zone) {
    TIME_ZONE_INFORMATION tzi{};
    tzi.Bias = zone.bias;
    std::memcpy(tzi.StandardName, zone.standardName, sizeof tzi.StandardName);
    tzi.StandardDate = toSystemTime(zone.standardDate);
    tzi.StandardBias = zone.standardBias;
    std::memcpy(tzi.DaylightName, zone.daylightName, sizeof tzi.DaylightName);
    tzi.DaylightDate = toSystemTime(zone.daylightDate);
    tzi.DaylightBias = zone.daylightBias;
    return tzi;
}

inline TimeZoneInformation fromZoneRecord(const TIME_ZONE_INFORMATION& tzi) {
    TimeZoneInformation zone;
    zone.bias = tzi.Bias;
    std::memcpy(zone.standardName, tzi.StandardName, sizeof zone.standardName);
    zone.standardDate = fromSystemTime(tzi.StandardDate);
    zone.standardBias = tzi.StandardBias;
    std::memcpy(zone.daylightName, tzi.DaylightName, sizeof zone.daylightName);
    zone.daylightDate = fromSystemTime(tzi.DaylightDate);
    zone.daylightBias = tzi.DaylightBias;
    return zone;
}

// An open registry key, closed when the owner goes.
class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens an existing key; false when it is missing or refused.
    bool open(HKEY parent, const char* path, REGSAM access);
    // Opens the key, creating it (and the keys above it) when missing.
    bool create(HKEY parent, const char* path, REGSAM access);
    HKEY get() const { return key_; }

    // A text value (REG_SZ, or REG_EXPAND_SZ with its variables expanded);
    // false when missing or of another type.
    bool readText(const char* name, std::string& out) const;
    // A binary value of exactly `size` bytes.
    bool readBinary(const char* name, void* out, DWORD size) const;

private:
    HKEY key_ = nullptr;
};

// Enables a privilege in the process's token; true only when the token
// holds it (AdjustTokenPrivileges reports ERROR_NOT_ALL_ASSIGNED otherwise).
bool enablePrivilege(const char* name);

// The file a program path names. The callers name the program without its
// extension, as on Linux; when only the ".exe" file exists, that is it.
std::string programFile(const std::string& program);

// One argument of a command line, quoted so that the C runtime's parser
// (and CommandLineToArgvW) reads it back unchanged.
std::string quotedArgument(const std::string& argument);

}  // namespace tavrel::platform::win32
