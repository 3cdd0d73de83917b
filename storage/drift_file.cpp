#include "storage/drift_file.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "platform/file.h"

namespace tavrel {
namespace {

constexpr size_t kLargestFile = 128;
// A clock a little behind the one that wrote the file still takes it.
constexpr platform::FileTime kFutureSlack = 60 * platform::kFileTimeUnitsPerSecond;

std::string figure(double value, int decimals) {
    char text[48];
    const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return std::string(text, written.ptr);
}

// One field and the single space after it; false when the field does not
// end where it should.
bool readDouble(std::string_view& text, double& value) {
    const auto read = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (read.ec != std::errc() || read.ptr == text.data()) return false;
    text.remove_prefix(static_cast<size_t>(read.ptr - text.data()));
    return true;
}

bool readSpace(std::string_view& text) {
    if (text.empty() || text.front() != ' ') return false;
    text.remove_prefix(1);
    return true;
}

}  // namespace

std::string formatDriftRecord(const DriftRecord& record) {
    const uint64_t unixSeconds = record.written > platform::kFileTime1970
                                     ? (record.written - platform::kFileTime1970) / platform::kFileTimeUnitsPerSecond
                                     : 0;
    return figure(record.errorPpm, 3) + " " + figure(record.uncertaintyPpm, 3) + " " + std::to_string(unixSeconds) +
           "\n";
}

std::optional<DriftRecord> parseDriftRecord(std::string_view text) {
    if (text.size() > kLargestFile) return std::nullopt;
    // One line: a line end at the end only (LF, or CR LF from an editor).
    if (text.ends_with("\r\n")) {
        text.remove_suffix(2);
    } else if (text.ends_with('\n')) {
        text.remove_suffix(1);
    }
    DriftRecord record;
    uint64_t unixSeconds = 0;
    if (!readDouble(text, record.errorPpm) || !readSpace(text) || !readDouble(text, record.uncertaintyPpm) ||
        !readSpace(text)) {
        return std::nullopt;
    }
    const auto read = std::from_chars(text.data(), text.data() + text.size(), unixSeconds);
    if (read.ec != std::errc() || read.ptr != text.data() + text.size() || read.ptr == text.data()) return std::nullopt;
    if (!std::isfinite(record.errorPpm) || std::fabs(record.errorPpm) > kLargestDriftPpm) return std::nullopt;
    if (!std::isfinite(record.uncertaintyPpm) || record.uncertaintyPpm <= 0 ||
        record.uncertaintyPpm > kLargestDriftUncertaintyPpm) {
        return std::nullopt;
    }
    // Years past 30827 do not fit the clock's count.
    constexpr uint64_t kLatestUnixSeconds = 910'692'730'000ULL;
    if (unixSeconds == 0 || unixSeconds > kLatestUnixSeconds) return std::nullopt;
    record.written = platform::kFileTime1970 + unixSeconds * platform::kFileTimeUnitsPerSecond;
    return record;
}

std::optional<DriftRecord> readDriftFile(const std::string& path, platform::FileTime now) {
    std::string text;
    if (!platform::readSmallFile(path, text, kLargestFile)) return std::nullopt;
    const std::optional<DriftRecord> record = parseDriftRecord(text);
    if (!record) return std::nullopt;
    if (record->written > now + kFutureSlack) return std::nullopt;
    if (record->written < now && now - record->written >= kDriftFileLifetime) return std::nullopt;
    return record;
}

bool writeDriftFile(const std::string& path, const DriftRecord& record) {
    return platform::writeFileReplacing(path, formatDriftRecord(record));
}

}  // namespace tavrel
