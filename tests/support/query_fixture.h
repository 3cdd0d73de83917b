// Shared set-up for tests that run queries: a fresh data folder, the
// default strings and settings, and the simulated clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "engine/time_query.h"
#include "platform/time.h"
#include "tests/support/temp_dir.h"

namespace tavrel::test {

// Polls `done` until it holds or `limit` passes; true when it held.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(30));

// The simulated clock's offset from the real clock, in seconds.
void setSimulatedOffsetSeconds(double seconds);
double simulatedOffsetSeconds();
// The real clock (UTC), which the fake servers serve, whatever the
// simulated one reads.
platform::FileTime realNow();

class QueryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // What a query to `server` asks under the settings: their protocol
    // (SNTP under Auto) and date range.
    static QueryTarget target(const std::string& server = "127.0.0.1");
    // Runs one query to its end (aborting it once it waits for a reply when
    // `abortWhenWaiting`) and gives its result.
    static QueryResult runQuery(const QueryTarget& target, bool abortWhenWaiting = false);
    static QueryResult runQuery(bool abortWhenWaiting = false) { return runQuery(target(), abortWhenWaiting); }
    std::string log();
    TempDir dir;
};

}  // namespace tavrel::test
