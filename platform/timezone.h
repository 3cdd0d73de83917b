// The time zone in force, as the Win32 TIME_ZONE_INFORMATION record.
#pragma once

#include <cstdint>

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

// Reads the zone in force. The bias and the names are always filled.
void getTimeZoneInformation(TimeZoneInformation& out);

}  // namespace tavrel::platform
