// The figures file for a metrics collector, as it is after a Check, a query
// that found no server and requests served, read back from where it is
// written.
#include <gtest/gtest.h>

#include <string>

#include "platform/file.h"
#include "platform/time.h"
#include "storage/metrics_file.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

constexpr int64_t kUnixWhen = 1'773'500'966;

HistoryEntry entryAt(int64_t unixSeconds, const char* action, const char* outcome) {
    HistoryEntry entry;
    entry.when = platform::kFileTime1970 + static_cast<platform::FileTime>(unixSeconds) *
                                                platform::kFileTimeUnitsPerSecond + 1234;
    entry.action = action;
    entry.server = "time.example";
    entry.protocol = "SNTP";
    entry.outcome = outcome;
    return entry;
}

class MetricsFile : public ::testing::Test {
protected:
    // The written file's sample line for `metric` (its name and labels), or
    // empty where it has none; every sample has its HELP and TYPE lines.
    std::string sample(const std::string& metric) {
        const std::string text = test::readFile(dir.file(kMetricsFileName));
        size_t at = 0;
        while (at < text.size()) {
            const size_t end = text.find('\n', at);
            const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
            if (line.rfind(metric + " ", 0) == 0) return line.substr(metric.size() + 1);
            if (end == std::string::npos) break;
            at = end + 1;
        }
        return std::string();
    }
    void write() { ASSERT_TRUE(writeMetricsFile(metrics)); }

    test::TempDir dir;
    test::ScopedEnv folder{kMetricsFolderVariable, dir.path()};
    ClockMetrics metrics;
};

TEST_F(MetricsFile, ACheckSetsTheOffsetRoundTripAndTimes) {
    HistoryEntry check = entryAt(kUnixWhen, "Check", "Checked");
    check.offsetSeconds = -2.125;
    check.roundTripMs = 37;
    metrics.record(check);
    write();
    EXPECT_EQ(sample("tavrel_last_offset_seconds"), "-2.125");
    EXPECT_EQ(sample("tavrel_last_round_trip_seconds"), "0.037");
    EXPECT_EQ(sample("tavrel_last_success_timestamp_seconds"), std::to_string(kUnixWhen));
    EXPECT_EQ(sample("tavrel_last_try_timestamp_seconds"), std::to_string(kUnixWhen));
    EXPECT_EQ(sample("tavrel_failures_total"), "0");
    const std::string text = test::readFile(dir.file(kMetricsFileName));
    EXPECT_NE(text.find("# TYPE tavrel_last_offset_seconds gauge\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# TYPE tavrel_failures_total counter\n"), std::string::npos) << text;

    // A server's answer with no offset measured (a plain query) still counts as
    // an answer, and its round trip replaces the old one.
    HistoryEntry answered = entryAt(kUnixWhen + 60, "Quick", "Answered");
    answered.offsetSeconds = 0.5;
    metrics.record(answered);
    write();
    EXPECT_EQ(sample("tavrel_last_offset_seconds"), "0.5");
    EXPECT_EQ(sample("tavrel_last_round_trip_seconds"), "");
    EXPECT_EQ(sample("tavrel_last_success_timestamp_seconds"), std::to_string(kUnixWhen + 60));
}

TEST_F(MetricsFile, AFailedQueryCountsAndKeepsTheLastSuccess) {
    // Before any result: nothing measured, no success.
    write();
    EXPECT_EQ(sample("tavrel_last_offset_seconds"), "");
    EXPECT_EQ(sample("tavrel_last_success_timestamp_seconds"), "0");

    HistoryEntry corrected = entryAt(kUnixWhen, "Correct", "Corrected");
    corrected.offsetSeconds = 3.25;
    corrected.roundTripMs = 12;
    corrected.changeSeconds = 3.25;
    metrics.record(corrected);
    metrics.record(entryAt(kUnixWhen + 300, "AutoCheck", "No response"));
    write();
    EXPECT_EQ(sample("tavrel_failures_total"), "1");
    EXPECT_EQ(sample("tavrel_last_try_timestamp_seconds"), std::to_string(kUnixWhen + 300));
    EXPECT_EQ(sample("tavrel_last_success_timestamp_seconds"), std::to_string(kUnixWhen));
    EXPECT_EQ(sample("tavrel_last_offset_seconds"), "3.25");
    EXPECT_EQ(sample("tavrel_last_round_trip_seconds"), "0.012");

    // A clock the system would not set is no success either.
    metrics.record(entryAt(kUnixWhen + 600, "Correct", "Clock not set"));
    write();
    EXPECT_EQ(sample("tavrel_failures_total"), "2");
    EXPECT_EQ(sample("tavrel_last_success_timestamp_seconds"), std::to_string(kUnixWhen));
}

TEST_F(MetricsFile, ServedRequestsAndSynchronisationShowAsTheyStand) {
    write();
    EXPECT_EQ(sample("tavrel_served_requests_total{protocol=\"time\"}"), "0");
    EXPECT_EQ(sample("tavrel_served_requests_total{protocol=\"sntp\"}"), "0");
    EXPECT_EQ(sample("tavrel_clock_synchronised"), "0");
    metrics.servedTime = 3;
    metrics.servedSntp = 41;
    metrics.synchronised = true;
    write();
    EXPECT_EQ(sample("tavrel_served_requests_total{protocol=\"time\"}"), "3");
    EXPECT_EQ(sample("tavrel_served_requests_total{protocol=\"sntp\"}"), "41");
    EXPECT_EQ(sample("tavrel_clock_synchronised"), "1");
}

}  // namespace
}  // namespace tavrel
