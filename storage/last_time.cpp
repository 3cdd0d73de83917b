#include "storage/last_time.h"

#include <cstdio>

#include "platform/file.h"
#include "storage/data_directory.h"

namespace tavrel {
namespace {

// Far more than the line: a bigger file is not ours.
constexpr size_t kLargestFile = 256;
constexpr size_t kTimeLength = 20;  // "2026-12-10T00:12:16Z"

// `count` decimal digits at `at`, or -1.
int digits(std::string_view text, size_t at, size_t count) {
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

std::string path() { return dataDirectory() + kLastTimeFileName; }

}  // namespace

std::string lastTimeText(platform::FileTime utc) {
    platform::SystemTime t{};
    if (!platform::fileTimeToSystemTime(utc, t)) return std::string();
    char text[48];  // room for any field's digits
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ\r\n", unsigned{t.year}, unsigned{t.month},
                  unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute}, unsigned{t.second});
    return text;
}

std::optional<platform::FileTime> parseLastTime(std::string_view text) {
    if (text.size() < kTimeLength) return std::nullopt;
    const std::string_view rest = text.substr(kTimeLength);
    if (!(rest.empty() || rest == "\n" || rest == "\r\n")) return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':' || text[19] != 'Z') {
        return std::nullopt;
    }
    const int fields[] = {digits(text, 0, 4),  digits(text, 5, 2),  digits(text, 8, 2),
                          digits(text, 11, 2), digits(text, 14, 2), digits(text, 17, 2)};
    for (int field : fields) {
        if (field < 0) return std::nullopt;
    }
    if (fields[1] < 1 || fields[1] > 12 || fields[2] < 1 || fields[2] > platform::daysInMonth(fields[0], fields[1]) ||
        fields[3] > 23 || fields[4] > 59 || fields[5] > 59) {
        return std::nullopt;
    }
    platform::SystemTime t{};
    t.year = static_cast<uint16_t>(fields[0]);
    t.month = static_cast<uint16_t>(fields[1]);
    t.day = static_cast<uint16_t>(fields[2]);
    t.hour = static_cast<uint16_t>(fields[3]);
    t.minute = static_cast<uint16_t>(fields[4]);
    t.second = static_cast<uint16_t>(fields[5]);
    platform::FileTime utc = 0;
    if (!platform::systemTimeToFileTime(t, utc)) return std::nullopt;
    return utc;
}

SavedLastTime readLastTime() {
    SavedLastTime saved;
    const std::string file = path();
    if (!platform::fileExists(file)) return saved;
    saved.present = true;
    std::string text;
    if (platform::readSmallFile(file, text, kLargestFile)) saved.utc = parseLastTime(text);
    return saved;
}

bool writeLastTime(platform::FileTime utc) {
    const std::string text = lastTimeText(utc);
    return !text.empty() && !dataDirectory().empty() && platform::writeFileReplacing(path(), text);
}

}  // namespace tavrel
