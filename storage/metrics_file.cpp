#include "storage/metrics_file.h"

#include <cstdio>
#include <cstdlib>

#include "platform/file.h"
#include "platform/time.h"

namespace tavrel {
namespace {

int64_t unixSecondsOf(platform::FileTime utc) {
    return utc < platform::kFileTime1970
               ? 0
               : static_cast<int64_t>((utc - platform::kFileTime1970) / platform::kFileTimeUnitsPerSecond);
}

std::string number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

void add(std::string& out, const char* name, const char* type, const char* help, const std::string& sample) {
    out += std::string("# HELP ") + name + " " + help + "\n";
    out += std::string("# TYPE ") + name + " " + type + "\n";
    out += sample;
}

}  // namespace

void ClockMetrics::record(const HistoryEntry& entry) {
    const int64_t when = unixSecondsOf(entry.when);
    lastTryUnix = when;
    const bool success = entry.outcome == "Corrected" || entry.outcome == "Checked" || entry.outcome == "Answered";
    if (!success) {
        ++failures;
        return;
    }
    lastSuccessUnix = when;
    lastOffsetSeconds = entry.offsetSeconds;
    lastRoundTripSeconds.reset();
    if (entry.roundTripMs) lastRoundTripSeconds = static_cast<double>(*entry.roundTripMs) / 1000.0;
}

std::string metricsText(const ClockMetrics& m) {
    std::string out;
    if (m.lastOffsetSeconds) {
        add(out, "tavrel_last_offset_seconds", "gauge",
            "The server's clock less this computer's at the last successful check or correction.",
            "tavrel_last_offset_seconds " + number(*m.lastOffsetSeconds) + "\n");
    }
    if (m.lastRoundTripSeconds) {
        add(out, "tavrel_last_round_trip_seconds", "gauge", "The round trip of the last successful exchange.",
            "tavrel_last_round_trip_seconds " + number(*m.lastRoundTripSeconds) + "\n");
    }
    add(out, "tavrel_last_success_timestamp_seconds", "gauge",
        "When a server last answered (Unix time; 0 for not yet).",
        "tavrel_last_success_timestamp_seconds " + std::to_string(m.lastSuccessUnix) + "\n");
    add(out, "tavrel_last_try_timestamp_seconds", "gauge", "When a check or correction last ended (Unix time).",
        "tavrel_last_try_timestamp_seconds " + std::to_string(m.lastTryUnix) + "\n");
    add(out, "tavrel_failures_total", "counter", "Checks and corrections that found no server since the start.",
        "tavrel_failures_total " + std::to_string(m.failures) + "\n");
    add(out, "tavrel_clock_synchronised", "gauge",
        "1 while the clock counts as synchronised (as the time servers say), else 0.",
        std::string("tavrel_clock_synchronised ") + (m.synchronised ? "1" : "0") + "\n");
    add(out, "tavrel_served_requests_total", "counter", "Requests the time servers answered since the start.",
        "tavrel_served_requests_total{protocol=\"time\"} " + std::to_string(m.servedTime) + "\n" +
            "tavrel_served_requests_total{protocol=\"sntp\"} " + std::to_string(m.servedSntp) + "\n");
    return out;
}

std::string metricsFolder() {
    const char* chosen = std::getenv(kMetricsFolderVariable);
    if (chosen != nullptr && *chosen != '\0') return chosen;
    const std::string usual = platform::metricsCollectorFolder();
    return !usual.empty() && platform::directoryExists(usual) ? usual : std::string();
}

bool writeMetricsFile(const ClockMetrics& metrics) {
    const std::string folder = metricsFolder();
    if (folder.empty()) return true;
    // The collector runs as a user of its own: the file is for every reader.
    return platform::writeFileReplacing(folder + platform::kPathSeparator + kMetricsFileName, metricsText(metrics),
                                        platform::FileReaders::Everyone);
}

}  // namespace tavrel
