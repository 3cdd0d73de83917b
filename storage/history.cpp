#include "storage/history.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/file.h"
#include "storage/data_directory.h"
#include "storage/plain_text.h"
#include "storage/rotating_file.h"

namespace tavrel {
namespace {

constexpr int kLockWaitMs = 2000;
constexpr char kLineEnd[] = "\r\n";
// The most read of one file: of a file grown past it (its rotation failed,
// or something else wrote to it) the newest rows, so the view stays quick
// and small whatever the file.
constexpr size_t kLargestRead = 4 * 1024 * 1024;
// The header before the change column was added.
constexpr std::string_view kOldHeader = "time,action,server,address,protocol,offset_s,round_trip_ms,outcome";

// A field as CSV keeps it: quoted when it holds a comma or a quote (a
// text's line ends are escaped before it gets here).
std::string field(std::string_view text) {
    if (text.find_first_of(",\"") == std::string_view::npos) return std::string(text);
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

// What makes a spreadsheet take a cell for a formula when it starts it
// (tab and CR too, which some take so); such a text cell is written with
// kTextMark in front, which the spreadsheet reads as "this is text".
constexpr std::string_view kFormulaStarts = "=+-@\t\r";
constexpr char kTextMark = '\'';

bool needsMark(std::string_view text) {
    return !text.empty() && (text[0] == kTextMark || kFormulaStarts.find(text[0]) != std::string_view::npos);
}

// A text cell (a name, an outcome; never a figure, which must stay a
// number): control characters escaped, and the mark in front of a text
// that would be a formula, or that starts with the mark itself, so that
// reading it back takes off exactly the mark written.
std::string textField(std::string_view text) {
    std::string cell = plainText(text);
    if (needsMark(cell)) cell.insert(cell.begin(), kTextMark);
    return field(cell);
}

// A text cell read back: the mark taken off where textField put it. A row
// written before the mark existed reads as it did, unless its text itself
// started with a mark before a formula character.
std::string fromTextField(std::string cell) {
    if (cell.size() >= 2 && cell[0] == kTextMark && needsMark(std::string_view(cell).substr(1))) cell.erase(0, 1);
    return cell;
}

// The row's fields; false when it has more than `most` or ends inside a
// quote (a row cut short), so a line of commas costs no more than a row.
bool splitFields(std::string_view row, size_t most, std::vector<std::string>& fields) {
    fields.assign(1, std::string());
    bool quoted = false;
    for (size_t i = 0; i < row.size(); ++i) {
        const char c = row[i];
        if (quoted) {
            if (c == '"' && i + 1 < row.size() && row[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            if (fields.size() == most) return false;
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return !quoted;
}

std::string isoTime(platform::FileTime utc) {
    platform::SystemTime t{};
    if (!platform::fileTimeToSystemTime(utc, t)) return std::string();
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.year, t.month, t.day, t.hour, t.minute,
                  t.second, t.milliseconds);
    return text;
}

// Exactly as isoTime writes it: "2026-12-07T21:30:05.123Z".
bool parseIsoTime(std::string_view text, platform::FileTime& out) {
    constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (text.size() != kShape.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
    }
    auto number = [text](size_t at, size_t digits) {
        unsigned value = 0;
        for (size_t i = at; i < at + digits; ++i) value = value * 10 + static_cast<unsigned>(text[i] - '0');
        return static_cast<uint16_t>(value);
    };
    platform::SystemTime t{};
    t.year = number(0, 4);
    t.month = number(5, 2);
    t.day = number(8, 2);
    t.hour = number(11, 2);
    t.minute = number(14, 2);
    t.second = number(17, 2);
    t.milliseconds = number(20, 3);
    return platform::systemTimeToFileTime(t, out);
}

// A figure in seconds as historyRow writes it, within the bound; an empty
// field is no figure.
bool parseSeconds(const std::string& text, std::optional<double>& out) {
    out.reset();
    if (text.empty()) return true;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
        std::fabs(value) > kLargestHistorySeconds) {
        return false;
    }
    out = value;
    return true;
}

// Milliseconds: digits only, within the bound.
bool parseMilliseconds(const std::string& text, std::optional<uint32_t>& out) {
    out.reset();
    if (text.empty()) return true;
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > kLargestHistoryRoundTripMs) return false;
    out = value;
    return true;
}

// Adds the file's rows from `since` on and counts its damaged ones (not
// the header, not blank lines). Of a file larger than kLargestRead only its
// end is read, from the first row that starts within its last kLargestRead
// bytes; false then, as rows before those were left out.
bool readRows(const std::string& path, platform::FileTime since, std::vector<HistoryEntry>& into,
              size_t& skippedRows) {
    std::string text;
    bool fromStart = true;
    // The byte before the last kLargestRead too: when it ends a line, the
    // row after it is whole.
    if (!platform::readFileTail(path, text, kLargestRead + 1, fromStart)) return true;
    size_t start = 0;
    if (!fromStart) {
        const size_t cut = text.find('\n');
        start = cut == std::string::npos ? text.size() : cut + 1;
    }
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line == kHistoryHeader || line == kOldHeader) continue;
        HistoryEntry entry;
        if (!parseHistoryRow(line, entry)) {
            ++skippedRows;
        } else if (entry.when >= since) {
            into.push_back(std::move(entry));
        }
    }
    return fromStart;
}

}  // namespace

std::string historyRow(const HistoryEntry& e) {
    char offset[32] = "";
    if (e.offsetSeconds) std::snprintf(offset, sizeof offset, "%.7f", *e.offsetSeconds);
    char change[32] = "";
    if (e.changeSeconds) std::snprintf(change, sizeof change, "%.7f", *e.changeSeconds);
    const std::string roundTrip = e.roundTripMs ? std::to_string(*e.roundTripMs) : std::string();
    return isoTime(e.when) + "," + textField(e.action) + "," + textField(e.server) + "," + textField(e.address) + "," +
           textField(e.protocol) + "," + offset + "," + roundTrip + "," + textField(e.outcome) + "," + change;
}

bool parseHistoryRow(std::string_view row, HistoryEntry& out) {
    constexpr size_t kOldFields = 8;
    constexpr size_t kFields = 9;
    std::vector<std::string> f;
    if (!splitFields(row, kFields, f) || (f.size() != kOldFields && f.size() != kFields) ||
        !parseIsoTime(f[0], out.when) || !parseSeconds(f[5], out.offsetSeconds) ||
        !parseMilliseconds(f[6], out.roundTripMs) ||
        !parseSeconds(f.size() == kFields ? f[8] : std::string(), out.changeSeconds)) {
        return false;
    }
    out.action = fromTextField(std::move(f[1]));
    out.server = fromTextField(std::move(f[2]));
    out.address = fromTextField(std::move(f[3]));
    out.protocol = fromTextField(std::move(f[4]));
    out.outcome = fromTextField(std::move(f[7]));
    return true;
}

namespace {

std::mutex lastGoodMutex;
std::optional<HistoryEntry> lastGood;

}  // namespace

std::optional<HistoryEntry> lastGoodHistoryEntry() {
    std::lock_guard lock(lastGoodMutex);
    return lastGood;
}

void appendHistory(const HistoryEntry& entry) {
    if (entry.outcome == "Checked" || entry.outcome == "Corrected") {
        std::lock_guard lock(lastGoodMutex);
        lastGood = entry;
    }
    (void)appendRotating(dataDirectory() + kHistoryFileName, dataDirectory() + kOldHistoryFileName,
                         kHistoryRotateAbove, std::string(kHistoryHeader) + kLineEnd, historyRow(entry) + kLineEnd,
                         kLockWaitMs);
}

std::vector<HistoryEntry> readHistory(platform::FileTime since, size_t& skippedRows) {
    skippedRows = 0;
    std::vector<HistoryEntry> current;
    std::vector<HistoryEntry> entries;
    // The old file's rows come before the current file's; when the current
    // file was read only in part, they lie before a gap and are left out.
    if (readRows(dataDirectory() + kHistoryFileName, since, current, skippedRows)) {
        (void)readRows(dataDirectory() + kOldHistoryFileName, since, entries, skippedRows);
    }
    entries.insert(entries.end(), std::make_move_iterator(current.begin()), std::make_move_iterator(current.end()));
    std::stable_sort(entries.begin(), entries.end(),
                     [](const HistoryEntry& a, const HistoryEntry& b) { return a.when < b.when; });
    return entries;
}

std::vector<HistoryEntry> readHistory(platform::FileTime since) {
    size_t skippedRows = 0;
    return readHistory(since, skippedRows);
}

}  // namespace tavrel
