// The clock's history: every Check, Correct, AutoSync, AutoCheck, quick
// sync and scan finding, one CSV row each, in "History.csv" in the data
// folder (kept like the log: past 1 MB the file moves to
// "History.old.csv" and starts again).
#pragma once

#include <cstddef>
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

struct HistoryEntry;
// The newest row this process wrote whose outcome was a good Check or
// Correct ("Checked", "Corrected"), for what the window says at a glance.
std::optional<HistoryEntry> lastGoodHistoryEntry();

struct HistoryEntry {
    platform::FileTime when = 0;  // UTC
    std::string action;           // "Check", "Correct", "AutoCheck", "AutoSync", "Quick", "Scan", "Other program"
    std::string server;           // as listed or entered
    std::string address;          // the address asked, or empty
    std::string protocol;         // "SNTP" or "TIME"
    // The server's clock less the computer's, where the exchange measured it.
    std::optional<double> offsetSeconds;
    std::optional<uint32_t> roundTripMs;
    std::string outcome;  // "Corrected", "Checked", "Clock not set", "Answered", "No response", "Clock set"
    // The change made to the clock (the offset with the user's fixed offset
    // and the minutes-only rule applied), where it was set.
    std::optional<double> changeSeconds;
};

// The bounds of the figures a row may hold; a row beyond them is damaged.
// The 32-bit wire seconds of SNTP and TIME place a reply between 1968 and
// 2104, so an offset within 200 years holds any computer clock from 1904
// to 2168 (one fallen back to 1970 is some 56 years off); the user's fixed
// offset adds at most 99 hours to a change.
inline constexpr double kLargestHistorySeconds = 200 * 365.25 * 86'400;
// A reply is waited for 99 seconds at the longest; an hour leaves room.
inline constexpr uint32_t kLargestHistoryRoundTripMs = 3'600'000;

// One row, without its line end ("2026-12-07T21:30:05.123Z,Correct,...").
// The texts are written as plainText has them, and one that a spreadsheet
// would take for a formula ("=...", "+...", "-...", "@...") gets a "'" in
// front, which makes it text there; the figures are written as numbers.
std::string historyRow(const HistoryEntry& entry);
// A row back; false for the header or a damaged line: a time not as
// historyRow writes it, a figure that is not a plain number (a sign on the
// round trip, "inf", "nan") or lies beyond its bound, a cut row. Rows
// written before the change column existed (eight fields) are read too.
// The "'" historyRow put in front of a text is taken off again; texts
// written before it did so read as they were (but for one that itself
// started with "'" before one of those characters or another "'").
bool parseHistoryRow(std::string_view row, HistoryEntry& out);

// Appends the entry (the header first into a new file); several processes
// may append at once. A failure to write is not reported: the history
// never stops a sync.
void appendHistory(const HistoryEntry& entry);

// The entries from `since` on (UTC), oldest first, from the old file and
// the current one, and how many rows could not be read (damaged ones; not
// the header nor blank lines). Of a file past 4 MB only the rows in its
// last 4 MB are read; when that is the current file, the old one is not
// read at all, so what is shown has no gap.
std::vector<HistoryEntry> readHistory(platform::FileTime since, size_t& skippedRows);
std::vector<HistoryEntry> readHistory(platform::FileTime since = 0);

}  // namespace tavrel
