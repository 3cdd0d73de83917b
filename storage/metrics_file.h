// The service's figures for a metrics collector that reads text files (the
// Prometheus node exporter's textfile collector, windows_exporter's
// textfile inputs): "tavrel.prom", replaced whole after each result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "storage/history.h"

namespace tavrel {

inline constexpr char kMetricsFileName[] = "tavrel.prom";
// The folder the figures go to, when set; else the collector's usual folder
// where it exists.
inline constexpr char kMetricsFolderVariable[] = "TAVREL_METRICS_DIR";

struct ClockMetrics {
    std::optional<double> lastOffsetSeconds;     // the server's clock less the computer's
    std::optional<double> lastRoundTripSeconds;
    int64_t lastSuccessUnix = 0;  // 0: none yet
    int64_t lastTryUnix = 0;
    uint64_t failures = 0;        // since the start
    bool synchronised = false;    // as the time servers say it
    uint64_t servedTime = 0;      // requests answered since the start
    uint64_t servedSntp = 0;

    // Takes in a result as the History has it.
    void record(const HistoryEntry& entry);
};

// The figures in the text exposition format, every metric with its HELP
// and TYPE lines.
std::string metricsText(const ClockMetrics& metrics);

// Where the file goes (empty: nowhere), and writing it there; false when it
// could not be written.
std::string metricsFolder();
bool writeMetricsFile(const ClockMetrics& metrics);

}  // namespace tavrel
