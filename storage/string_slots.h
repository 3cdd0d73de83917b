// String-table slots that several parts of the program compose texts from
// (their default wording in the comments).
#pragma once

namespace tavrel {

inline constexpr int kSlotUntilAutoSync = 100;      // " until AutoSync"
inline constexpr int kSlotUntilAutoCheck = 101;     // " until AutoCheck"
inline constexpr int kSlotBothServersActive = 102;  // "TIME and SNTP Server Active"
inline constexpr int kSlotNone = 103;               // "None"
inline constexpr int kSlotNoResponse = 105;         // "No response from "
inline constexpr int kSlotTimeServerActive = 112;   // "TIME Server Active"
inline constexpr int kSlotSntpServerActive = 113;   // "SNTP Server Active"
inline constexpr int kSlotTimeChecked = 180;        // "Time Checked"
inline constexpr int kSlotDaysSuffix = 184;         // " Dys"
inline constexpr int kSlotHoursSuffix = 185;        // " Hrs"
inline constexpr int kSlotMinutesSuffix = 186;      // " Mns"
inline constexpr int kSlotSecondsSuffix = 187;      // " Scs"
inline constexpr int kSlotHourSuffix = 188;         // " Hr"
inline constexpr int kSlotMinuteSuffix = 189;       // " Mn"
inline constexpr int kSlotErrorSettingTime = 198;   // "Error setting Time Change Privileges"

}  // namespace tavrel
