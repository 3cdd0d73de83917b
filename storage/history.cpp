#include "storage/history.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/file.h"
#include "storage/data_directory.h"
#include "storage/rotating_file.h"

namespace tavrel {
namespace {

constexpr int kLockWaitMs = 2000;
constexpr char kLineEnd[] = "\r\n";
constexpr size_t kLargestRead = 4 * 1024 * 1024;

// A field as CSV keeps it: quoted when it holds a comma, a quote or a line end.
std::string field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        if (c != '\r' && c != '\n') quoted += c;
    }
    return quoted + "\"";
}

std::vector<std::string> splitFields(std::string_view row) {
    std::vector<std::string> fields(1);
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
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

std::string isoTime(platform::FileTime utc) {
    platform::SystemTime t{};
    if (!platform::fileTimeToSystemTime(utc, t)) return std::string();
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.year, t.month, t.day, t.hour, t.minute,
                  t.second, t.milliseconds);
    return text;
}

bool parseIsoTime(const std::string& text, platform::FileTime& out) {
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    if (std::sscanf(text.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u.%3uZ", &y, &mo, &d, &h, &mi, &s, &ms) != 7) return false;
    platform::SystemTime t{};
    t.year = static_cast<uint16_t>(y);
    t.month = static_cast<uint16_t>(mo);
    t.day = static_cast<uint16_t>(d);
    t.hour = static_cast<uint16_t>(h);
    t.minute = static_cast<uint16_t>(mi);
    t.second = static_cast<uint16_t>(s);
    t.milliseconds = static_cast<uint16_t>(ms);
    return platform::systemTimeToFileTime(t, out);
}

void readRows(const std::string& path, platform::FileTime since, std::vector<HistoryEntry>& into) {
    std::string text;
    if (!platform::readSmallFile(path, text, kLargestRead)) return;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        HistoryEntry entry;
        if (parseHistoryRow(line, entry) && entry.when >= since) into.push_back(std::move(entry));
        start = end + 1;
    }
}

}  // namespace

std::string historyRow(const HistoryEntry& e) {
    char offset[32] = "";
    if (e.offsetSeconds) std::snprintf(offset, sizeof offset, "%.7f", *e.offsetSeconds);
    char change[32] = "";
    if (e.changeSeconds) std::snprintf(change, sizeof change, "%.7f", *e.changeSeconds);
    const std::string roundTrip = e.roundTripMs ? std::to_string(*e.roundTripMs) : std::string();
    return isoTime(e.when) + "," + field(e.action) + "," + field(e.server) + "," + field(e.address) + "," +
           field(e.protocol) + "," + offset + "," + roundTrip + "," + field(e.outcome) + "," + change;
}

bool parseHistoryRow(std::string_view row, HistoryEntry& out) {
    constexpr size_t kOldFields = 8;
    constexpr size_t kFields = 9;
    const std::vector<std::string> f = splitFields(row);
    if ((f.size() != kOldFields && f.size() != kFields) || !parseIsoTime(f[0], out.when)) return false;
    out.action = f[1];
    out.server = f[2];
    out.address = f[3];
    out.protocol = f[4];
    char* end = nullptr;
    out.offsetSeconds.reset();
    if (!f[5].empty()) {
        const double v = std::strtod(f[5].c_str(), &end);
        if (end == nullptr || *end != '\0') return false;
        out.offsetSeconds = v;
    }
    out.roundTripMs.reset();
    if (!f[6].empty()) {
        const unsigned long v = std::strtoul(f[6].c_str(), &end, 10);
        if (end == nullptr || *end != '\0') return false;
        out.roundTripMs = static_cast<uint32_t>(v);
    }
    out.outcome = f[7];
    out.changeSeconds.reset();
    if (f.size() == kFields && !f[8].empty()) {
        const double v = std::strtod(f[8].c_str(), &end);
        if (end == nullptr || *end != '\0') return false;
        out.changeSeconds = v;
    }
    return true;
}

void appendHistory(const HistoryEntry& entry) {
    (void)appendRotating(dataDirectory() + kHistoryFileName, dataDirectory() + kOldHistoryFileName,
                         kHistoryRotateAbove, std::string(kHistoryHeader) + kLineEnd, historyRow(entry) + kLineEnd,
                         kLockWaitMs);
}

std::vector<HistoryEntry> readHistory(platform::FileTime since) {
    std::vector<HistoryEntry> entries;
    readRows(dataDirectory() + kOldHistoryFileName, since, entries);
    readRows(dataDirectory() + kHistoryFileName, since, entries);
    std::stable_sort(entries.begin(), entries.end(),
                     [](const HistoryEntry& a, const HistoryEntry& b) { return a.when < b.when; });
    return entries;
}

}  // namespace tavrel
