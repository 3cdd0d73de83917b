#include "storage/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "storage/data_directory.h"
#include "storage/plain_text.h"
#include "storage/rotating_file.h"
#include "storage/strings.h"
#include "storage/string_slots.h"

namespace tavrel {
namespace {

constexpr size_t kTimeFieldWidth = 9;
constexpr size_t kDateFieldWidth = 35;
constexpr char kTimePicture[] = "HH' 'mm' 'ss";
constexpr char kSeparator[] = " : ";
constexpr char kLineEnd[] = "\r\n";
constexpr char kHeaderTitle[] = "Tavrel v1.5 Log";
constexpr size_t kMaxServerLine = 599;
// How long a writer waits for another process that is writing the log.
constexpr int kLockWaitMs = 2000;

std::string fixedWidth(std::string text, size_t width) {
    text.resize(width, ' ');
    return text;
}

// The service process echoes every line to standard error (its journal);
// process-wide, as the log is the process's.
std::atomic<bool> echoLog{false};

std::mutex& logMutex() {
    // The process's writers of the one log take turns.
    static std::mutex mutex;
    return mutex;
}

}  // namespace

std::string logHeader() {
    std::string header = slot(kSlotLogTitle);
    if (header.empty()) header = kHeaderTitle;
    header = plainText(header);
    header += kLineEnd;
    header += " ";
    header += kLineEnd;
    return header;
}

std::string formatLogLine(const platform::SystemTime& local, std::string_view text) {
    std::string line = fixedWidth(platform::formatTime(local, kTimePicture), kTimeFieldWidth);
    line += fixedWidth(platform::formatLongDate(local), kDateFieldWidth);
    line += kSeparator;
    line += plainText(text);
    line += kLineEnd;
    return line;
}

void echoLogToStandardError(bool on) { echoLog.store(on); }

void logLine(std::string_view text, LogLevel level) {
    const std::string line = formatLogLine(platform::getLocalTime(), text);
    const std::string path = dataDirectory() + kLogFileName;

    std::lock_guard inProcess(logMutex());
    if (echoLog.load()) {
        // One write per line, so lines from several threads never mix.
        std::string echoed = level == LogLevel::Warning ? "<4>" : "<6>";
        echoed += plainText(text);
        echoed += '\n';
        (void)std::fwrite(echoed.data(), 1, echoed.size(), stderr);
        (void)std::fflush(stderr);
    }
    (void)appendRotating(path, dataDirectory() + kOldLogFileName, kLogRotateAbove, logHeader(), line, kLockWaitMs);
}


void logNamedLine(std::string_view text, std::string_view name, LogLevel level) {
    std::string composed(text);
    composed += name;
    if (composed.size() > kMaxServerLine) composed.resize(kMaxServerLine);
    logLine(composed, level);
}

}  // namespace tavrel
