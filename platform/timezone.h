// The time zone in force, as the Win32 TIME_ZONE_INFORMATION record, and
// setting it.
//
// On Linux the zone in force is the tz-database zone that /etc/localtime
// (or the path named by TAVREL_LOCALTIME) links to, or TZ when set. The
// record's StandardName holds the zone's tz-database name (for example
// "Australia/Sydney"), which is what setTimeZoneInformation restores;
// DaylightName holds the daylight-saving abbreviation ("AEDT"), or the
// standard one for a zone without daylight saving. The transition rules
// come from the zone's POSIX rule (the TZif footer).
#pragma once

#include <cstdint>
#include <string>

#include "platform/time.h"

namespace tavrel::platform {

struct TimeZoneInformation {
    int32_t bias = 0;  // minutes: UTC = local time + bias
    char16_t standardName[32] = {};
    SystemTime standardDate{};  // month 0 when the zone has no daylight saving
    int32_t standardBias = 0;
    char16_t daylightName[32] = {};
    SystemTime daylightDate{};
    int32_t daylightBias = 0;
};
static_assert(sizeof(TimeZoneInformation) == 172);

enum class TimeZoneResult { Failed, Standard, Daylight, NoDaylightSaving };

// Reads the zone in force.
TimeZoneResult getTimeZoneInformation(TimeZoneInformation& out);
// Makes the zone that the record names the zone in force; false without
// the right to, or for a zone this system does not know.
bool setTimeZoneInformation(const TimeZoneInformation& zone);
// A readable name for the zone the record names, such as
// "(UTC+10:00) Australia/Sydney"; empty when there is none.
std::string timeZoneDisplayName(const TimeZoneInformation& zone);

// Text of a UTF-16 name field (ASCII; other characters become '?').
std::string zoneNameText(const char16_t (&name)[32]);
void setZoneNameText(char16_t (&name)[32], const std::string& text);

// What a POSIX TZ rule says ("AEST-10AEDT,M10.1.0,M4.1.0/3"), in the
// record's terms; false when the text is no rule.
bool parsePosixZoneRule(const std::string& rule, TimeZoneInformation& out);
// The POSIX rule in a TZif file's footer; empty when there is none.
std::string tzifFooter(const std::string& fileBytes);
// What a TZif file's transitions say of the zone at `now` (seconds since
// 1970), for files without a rule in a footer (version 1, or a footer left
// empty): the offsets in force and this year's changes as fixed dates; the
// standard time's abbreviation in `abbreviation`. False for no TZif.
bool zoneFromTransitions(const std::string& fileBytes, int64_t now, TimeZoneInformation& out,
                         std::string& abbreviation);
// What a TZif file says of the zone at `now`: its footer's rule, except
// where the rule has no changes but the file's transitions change the
// clock in now's year (Africa/Casablanca: a fixed +01 in the rule, +00
// through Ramadan in the transitions); the transitions then, for the years
// they cover. False when the file says neither.
bool zoneFromFile(const std::string& fileBytes, int64_t now, TimeZoneInformation& out, std::string& abbreviation);

// The bytes of the zone in force where the system keeps it as a file (the
// tz database's TZif on Linux); empty elsewhere.
std::string timeZoneContents();
// Makes the zone these bytes describe the zone in force: by its name where
// the tz database holds the same bytes, else by the bytes themselves. False
// where zones are no files, or without the right to.
bool setTimeZoneContents(const std::string& bytes);

// Makes the process's local-time functions follow TAVREL_LOCALTIME when it
// is set; call before any thread starts.
void applyLocalTimeSeam();

}  // namespace tavrel::platform
