// What the platforms' time-zone code shares besides the declarations in
// platform/timezone.h. Internal to the platform layer.
#pragma once

#include <string>

namespace tavrel::platform {

// The standard-time abbreviation a POSIX TZ rule starts with ("AEST" of
// "AEST-10AEDT,M10.1.0,M4.1.0/3"); meant for rules parsePosixZoneRule took.
std::string zoneRuleAbbreviation(const std::string& rule);

}  // namespace tavrel::platform
