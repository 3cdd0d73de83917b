// The Windows time zone: the system's own record (GetTimeZoneInformation and
// SetTimeZoneInformation), or, with TAVREL_LOCALTIME set, the zone that
// seam names. The seam is a file holding the key name of a zone in the
// registry's list of zones (for example "AUS Eastern Standard Time"); the
// zone's record comes from that list, and setting the zone writes the key
// name of the record's zone into the file. The system's zone is left alone
// while the seam is set.
#include <windows.h>

#include "platform/timezone.h"

#include <cstdlib>
#include <string>

#include "platform/file.h"
#include "platform/win32/win32_support.h"

namespace tavrel::platform {
namespace {

constexpr char kZoneList[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones";
constexpr size_t kLargestSeamFile = 1024;

// A zone's "TZI" value in the list (the REG_TZI_FORMAT layout).
struct ListedRule {
    LONG bias;
    LONG standardBias;
    LONG daylightBias;
    SYSTEMTIME standardDate;
    SYSTEMTIME daylightDate;
};
static_assert(sizeof(ListedRule) == 44);
static_assert(sizeof(wchar_t) == sizeof(char16_t));

const char* seamPath() {
    const char* seam = std::getenv("TAVREL_LOCALTIME");
    return seam != nullptr && *seam != '\0' ? seam : nullptr;
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// A name field in the ANSI code page, as the registry's values read through
// the "A" calls; Windows' own zone names need not be plain ASCII.
std::string ansiName(const char16_t (&name)[32]) {
    wchar_t wide[33] = {};
    for (size_t i = 0; i < 32; ++i) wide[i] = static_cast<wchar_t>(name[i]);
    char text[4 * 33];
    const int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    return n > 0 ? std::string(text) : std::string();
}

void setAnsiName(char16_t (&name)[32], const std::string& text) {
    wchar_t wide[32] = {};
    const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), wide, 31);
    if (n <= 0 && !text.empty()) {
        setZoneNameText(name, text);  // too long, or no text of the code page
        return;
    }
    for (size_t i = 0; i < 32; ++i) name[i] = static_cast<char16_t>(wide[i]);
}

// The record of a zone in the list; false when the key or a value is missing.
bool readListedZone(const std::string& key, TimeZoneInformation& out) {
    win32::RegistryKey zone;
    ListedRule rule{};
    std::string standard, daylight;
    if (key.empty() || !zone.open(HKEY_LOCAL_MACHINE, (std::string(kZoneList) + "\\" + key).c_str(), KEY_QUERY_VALUE) ||
        !zone.readBinary("TZI", &rule, sizeof rule) || !zone.readText("Std", standard) ||
        !zone.readText("Dlt", daylight)) {
        return false;
    }
    TimeZoneInformation record;
    record.bias = rule.bias;
    setAnsiName(record.standardName, standard);
    record.standardDate = win32::fromSystemTime(rule.standardDate);
    record.standardBias = rule.standardBias;
    setAnsiName(record.daylightName, daylight);
    record.daylightDate = win32::fromSystemTime(rule.daylightDate);
    record.daylightBias = rule.daylightBias;
    out = record;
    return true;
}

bool standardNameIs(HKEY list, const char* key, const std::string& wanted) {
    win32::RegistryKey zone;
    std::string standard;
    return zone.open(list, key, KEY_QUERY_VALUE) && zone.readText("Std", standard) && standard == wanted;
}

// The key in the list of the zone whose standard name the record holds, or
// empty.
std::string listedZoneKey(const TimeZoneInformation& zone) {
    const std::string wanted = ansiName(zone.standardName);
    win32::RegistryKey list;
    if (wanted.empty() || !list.open(HKEY_LOCAL_MACHINE, kZoneList, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE)) {
        return std::string();
    }
    // The key is mostly named as the zone's standard time.
    if (standardNameIs(list.get(), wanted.c_str(), wanted)) return wanted;
    for (DWORD index = 0;; ++index) {
        char key[256];
        DWORD size = sizeof key;
        const LONG result = RegEnumKeyExA(list.get(), index, key, &size, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result == ERROR_SUCCESS && standardNameIs(list.get(), key, wanted)) return key;
    }
    return std::string();
}

// True when daylight saving time is in force now under the record's rules.
bool daylightInForce(const TimeZoneInformation& zone) {
    const TIME_ZONE_INFORMATION record = win32::toZoneRecord(zone);
    SYSTEMTIME utc, local;
    GetSystemTime(&utc);
    FILETIME utcFt, localFt;
    if (!SystemTimeToTzSpecificLocalTime(&record, &utc, &local) || !SystemTimeToFileTime(&utc, &utcFt) ||
        !SystemTimeToFileTime(&local, &localFt)) {
        return false;
    }
    const int64_t eastMinutes =
        (static_cast<int64_t>(win32::fromFileTime(localFt)) - static_cast<int64_t>(win32::fromFileTime(utcFt))) /
        static_cast<int64_t>(60 * kFileTimeUnitsPerSecond);
    return zone.daylightBias != 0 && eastMinutes == -(static_cast<int64_t>(zone.bias) + zone.daylightBias);
}

}  // namespace

TimeZoneResult getTimeZoneInformation(TimeZoneInformation& out) {
    if (const char* seam = seamPath()) {
        std::string key;
        TimeZoneInformation zone;
        if (!readSmallFile(seam, key, kLargestSeamFile) || !readListedZone(trimmed(key), zone)) {
            return TimeZoneResult::Failed;
        }
        out = zone;
        if (zone.daylightDate.month == 0) return TimeZoneResult::NoDaylightSaving;
        return daylightInForce(zone) ? TimeZoneResult::Daylight : TimeZoneResult::Standard;
    }
    TIME_ZONE_INFORMATION record;
    switch (GetTimeZoneInformation(&record)) {
        case TIME_ZONE_ID_INVALID: return TimeZoneResult::Failed;
        case TIME_ZONE_ID_STANDARD: out = win32::fromZoneRecord(record); return TimeZoneResult::Standard;
        case TIME_ZONE_ID_DAYLIGHT: out = win32::fromZoneRecord(record); return TimeZoneResult::Daylight;
        default: out = win32::fromZoneRecord(record); return TimeZoneResult::NoDaylightSaving;
    }
}

bool setTimeZoneInformation(const TimeZoneInformation& zone) {
    if (const char* seam = seamPath()) {
        const std::string key = listedZoneKey(zone);
        return !key.empty() && writeFileReplacing(seam, key);
    }
    // Held by users and administrators alike, but off until enabled; when
    // it cannot be, SetTimeZoneInformation refuses.
    (void)win32::enablePrivilege("SeTimeZonePrivilege");
    const TIME_ZONE_INFORMATION record = win32::toZoneRecord(zone);
    return SetTimeZoneInformation(&record) != FALSE;
}

std::string timeZoneDisplayName(const TimeZoneInformation& zone) {
    const std::string key = listedZoneKey(zone);
    win32::RegistryKey listed;
    std::string display;
    if (key.empty() || !listed.open(HKEY_LOCAL_MACHINE, (std::string(kZoneList) + "\\" + key).c_str(), KEY_QUERY_VALUE) ||
        !listed.readText("Display", display)) {
        return std::string();
    }
    return display;
}

// Windows' local-time calls take no seam; the functions that need the zone
// read TAVREL_LOCALTIME themselves whenever they are called.
void applyLocalTimeSeam() {}

// Windows keeps its zones in the registry, not as files of rules.
std::string timeZoneContents() { return std::string(); }
bool setTimeZoneContents(const std::string&) { return false; }

}  // namespace tavrel::platform
