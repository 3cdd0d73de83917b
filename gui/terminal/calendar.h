// The date picker's calendar arithmetic: dates moved by days or months,
// and the months' names.
#pragma once

#include "platform/time.h"

namespace tavrel::gui::terminal {

using platform::SystemTime;

// The date moved by whole days, keeping its time of day and setting its day
// of the week; the date itself where the result is out of range.
SystemTime movedByDays(const SystemTime& date, int days);
// The date moved by whole months, its day kept within the new month.
SystemTime movedByMonths(const SystemTime& date, int months);
// "January" for 1.
const char* monthName(int month);

}  // namespace tavrel::gui::terminal
