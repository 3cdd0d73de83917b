// The log: "dLog.txt" in the data directory, one time-stamped line per
// event, started afresh (the old one kept as "dLogOld.txt") once it grows
// past 1,000,000 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/time.h"

namespace tavrel {

inline constexpr char kLogFileName[] = "dLog.txt";
inline constexpr char kOldLogFileName[] = "dLogOld.txt";
inline constexpr int64_t kLogRotateAbove = 1'000'000;

// One event line, CR LF included: the time (9 bytes), the long date (35
// bytes), " : " and the text, its control characters escaped (a server's
// name is text from outside; see plainText).
std::string formatLogLine(const platform::SystemTime& local, std::string_view text);
// The two header lines written into an empty log.
std::string logHeader();

// How much a line matters to whoever reads the system's journal.
enum class LogLevel { Info, Warning };

// Appends one event line. Writers in this process and in others take turns
// (a short bounded wait between processes) so that no line is lost to a
// concurrent writer; a file that cannot be opened loses the line silently.
void logLine(std::string_view text, LogLevel level = LogLevel::Info);
// Appends text followed by the given name, at most 599 characters.
void logNamedLine(std::string_view text, std::string_view name, LogLevel level = LogLevel::Info);

// The service's lines also go to standard error, each with its syslog
// priority in front ("<6>" information, "<4>" a warning), which is how the
// journal takes them, escaped as in the file; off until switched on.
void echoLogToStandardError(bool on);

}  // namespace tavrel
