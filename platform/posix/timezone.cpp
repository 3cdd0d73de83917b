#include "platform/timezone.h"

#include <ctime>

namespace tavrel::platform {
namespace {

void copyName(char16_t (&dst)[32], const char* src) {
    size_t i = 0;
    for (; src != nullptr && src[i] != '\0' && i < 31; ++i) dst[i] = static_cast<unsigned char>(src[i]);
    for (; i < 32; ++i) dst[i] = 0;
}

// Offset east of UTC, in minutes, and whether daylight saving is in force,
// on a given day of the current year.
void offsetOn(int month, long& eastMinutes, bool& daylight) {
    time_t now = time(nullptr);
    tm probe{};
    localtime_r(&now, &probe);
    probe.tm_mon = month;
    probe.tm_mday = 15;
    probe.tm_hour = 12;
    probe.tm_isdst = -1;
    time_t when = mktime(&probe);
    tm local{};
    localtime_r(&when, &local);
    eastMinutes = local.tm_gmtoff / 60;
    daylight = local.tm_isdst > 0;
}

}  // namespace

void getTimeZoneInformation(TimeZoneInformation& out) {
    tzset();
    out = TimeZoneInformation{};
    long january = 0, july = 0;
    bool januaryDst = false, julyDst = false;
    offsetOn(0, january, januaryDst);
    offsetOn(6, july, julyDst);
    const long standard = januaryDst ? july : january;
    const long daylight = januaryDst ? january : july;
    out.bias = static_cast<int32_t>(-standard);
    out.standardBias = 0;
    copyName(out.standardName, tzname[0]);
    if (januaryDst || julyDst) {
        out.daylightBias = static_cast<int32_t>(standard - daylight);
        copyName(out.daylightName, tzname[1]);
    } else {
        copyName(out.daylightName, tzname[0]);
    }
}

}  // namespace tavrel::platform
