// The clock's history: every Check, Correct, AutoSync, AutoCheck, quick
// sync and scan finding, one CSV row each, in "History.csv" in the data
// folder (kept like the log: past 1 MB the file moves to
// "History.old.csv" and starts again).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/time.h"

namespace tavrel {

inline constexpr char kHistoryFileName[] = "History.csv";
inline constexpr char kOldHistoryFileName[] = "History.old.csv";
inline constexpr int64_t kHistoryRotateAbove = 1'000'000;
inline constexpr char kHistoryHeader[] =
    "time,action,server,address,protocol,offset_s,round_trip_ms,outcome,change_s";

struct HistoryEntry {
    platform::FileTime when = 0;  // UTC
    std::string action;           // "Check", "Correct", "AutoCheck", "AutoSync", "Quick", "Scan"
    std::string server;           // as listed or entered
    std::string address;          // the address asked, or empty
    std::string protocol;         // "SNTP" or "TIME"
    // The server's clock less the computer's, where the exchange measured it.
    std::optional<double> offsetSeconds;
    std::optional<uint32_t> roundTripMs;
    std::string outcome;  // "Corrected", "Checked", "Clock not set", "Answered", "No response"
    // The change made to the clock (the offset with the user's fixed offset
    // and the minutes-only rule applied), where it was set.
    std::optional<double> changeSeconds;
};

// One row, without its line end ("2026-12-07T21:30:05.123Z,Correct,...").
std::string historyRow(const HistoryEntry& entry);
// A row back; false for the header or a damaged line. Rows written before
// the change column existed (eight fields) are read too.
bool parseHistoryRow(std::string_view row, HistoryEntry& out);

// Appends the entry (the header first into a new file); several processes
// may append at once. A failure to write is not reported: the history
// never stops a sync.
void appendHistory(const HistoryEntry& entry);

// The entries from `since` on (UTC), oldest first, from the old file and
// the current one.
std::vector<HistoryEntry> readHistory(platform::FileTime since = 0);

}  // namespace tavrel
