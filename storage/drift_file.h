// The drift file: the clock's frequency error as last learned, kept in the
// data directory so that a restart begins with it instead of hours of
// learning. One line of plain text, written whole:
//   ERROR_PPM UNCERTAINTY_PPM WRITTEN
// the clock's own frequency error (> 0: it runs fast), the estimate's
// uncertainty, both in ppm with a '.' for the decimal point, and the time
// written as whole seconds since 1970-01-01 UTC, e.g.
//   48.213 0.284 1796861557
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/time.h"

namespace tavrel {

inline constexpr char kDriftFileName[] = "Drift.txt";
// An estimate older than this is not used: the clock's rate moves with
// the seasons and the machine's age.
inline constexpr platform::FileTime kDriftFileLifetime = 7ULL * 24 * 3600 * platform::kFileTimeUnitsPerSecond;
// The figures a drift file may hold; anything outside is refused.
inline constexpr double kLargestDriftPpm = 500.0;
inline constexpr double kLargestDriftUncertaintyPpm = 100.0;

struct DriftRecord {
    double errorPpm = 0;
    double uncertaintyPpm = 0;
    platform::FileTime written = 0;  // UTC, whole seconds
};

// The file's line for a record, "\n" included.
std::string formatDriftRecord(const DriftRecord& record);
// The record a file's text holds; none for anything but one well-formed
// line with figures in range.
std::optional<DriftRecord> parseDriftRecord(std::string_view text);
// The record in `path` when it is well formed, written no later than a
// minute after `now` and less than a week before it.
std::optional<DriftRecord> readDriftFile(const std::string& path, platform::FileTime now);
// Replaces `path` whole with the record.
[[nodiscard]] bool writeDriftFile(const std::string& path, const DriftRecord& record);

}  // namespace tavrel
