// "LastTime.txt" in the data directory: the UTC the service last knew the
// clock to have reached, so that a machine without a battery-backed clock
// (a board that boots at the time its image was made) never starts earlier
// than it has been. One line, "YYYY-MM-DDTHH:MM:SSZ", replaced whole.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/time.h"

namespace tavrel {

inline constexpr char kLastTimeFileName[] = "LastTime.txt";

// The file's text for `utc` (whole seconds, cut), CR LF ended.
std::string lastTimeText(platform::FileTime utc);
// The time the text holds: one ISO 8601 UTC time of exactly that form and
// a valid calendar date, then nothing but a line end; none otherwise.
std::optional<platform::FileTime> parseLastTime(std::string_view text);

// The file in the data directory: missing, holding no time, or its time.
struct SavedLastTime {
    bool present = false;
    std::optional<platform::FileTime> utc;  // none: the file holds no time
};
SavedLastTime readLastTime();
// Replaces the file with `utc`; false when it could not be written.
bool writeLastTime(platform::FileTime utc);

}  // namespace tavrel
