#include <gtest/gtest.h>

#include <chrono>

#include <optional>
#include <string>
#include <vector>

#include "servers/server_list.h"
#include "servers/server_scan.h"
#include "storage/history.h"
#include "storage/settings.h"
#include "tests/support/environment.h"
#include "tests/support/fake_time_servers.h"
#include "tests/support/query_fixture.h"

namespace tavrel {
namespace {

using test::FakeSntpServer;
using test::FakeTimeServer;
using test::Listen;
using test::Reply;
using Outcome = ScanFinding::Outcome;

class ServerScanTest : public test::QueryTest {
protected:
    void SetUp() override {
        QueryTest::SetUp();
        settings.dateRangeEnabled.store(false);
        settings.syncTimeout.store(std::chrono::seconds(5));
    }
    void TearDown() override {
        EXPECT_TRUE(test::waitUntil([this] { return !givenUp.pending(); }));
        QueryTest::TearDown();
    }
    // Runs the step under way until its query has ended; its finding.
    std::optional<ScanFinding> measureStep(ServerScan& scan) {
        scan.startStep();
        EXPECT_TRUE(test::waitUntil([&scan] { return scan.answerReady(); }));
        return scan.tick();
    }
    GivenUpQueries givenUp;
};

// Each server by TIME, then by SNTP, a finding and a history row each; the
// sort puts the servers answering SNTP first, then those answering TIME
// only, then the silent ones.
TEST_F(ServerScanTest, MeasuresEachServerByBothProtocolsAndSortsByTheAnswers) {
    if (test::runningUnderWine()) GTEST_SKIP() << "Wine never fails the receive after a datagram to a closed port";
    FakeTimeServer bothTime(Reply::Correct);
    FakeSntpServer bothSntp(Reply::Correct);
    FakeTimeServer timeOnly(Reply::Correct, 0, 0, Listen{0x7F000002, nullptr, ""});
    const std::string old = "# mine\r\n127.0.0.3\r\n127.0.0.2\r\n127.0.0.1\r\n";
    test::writeFile(dir.file(kServerFileName), old);
    ServerScan scan(givenUp);
    ASSERT_EQ(scan.servers(), (std::vector<std::string>{"127.0.0.3", "127.0.0.2", "127.0.0.1"}));
    std::vector<ScanFinding> findings;
    while (!scan.finished() && findings.size() < 6) {
        const std::optional<ScanFinding> finding = measureStep(scan);
        ASSERT_TRUE(finding.has_value());
        findings.push_back(*finding);
    }
    ASSERT_EQ(findings.size(), 6u);
    const std::vector<Outcome> outcomes = {Outcome::Failed,   Outcome::Failed,  Outcome::Answered,
                                           Outcome::Failed,   Outcome::Answered, Outcome::Answered};
    for (size_t i = 0; i < findings.size(); ++i) {
        EXPECT_EQ(findings[i].row, i / 2) << i;
        EXPECT_EQ(findings[i].byTime, i % 2 == 0) << i;
        EXPECT_EQ(findings[i].outcome, outcomes[i]) << i;
    }
    EXPECT_EQ(findings[2].address, "127.0.0.2");
    const std::vector<HistoryEntry> history = readHistory();
    ASSERT_EQ(history.size(), 6u);
    EXPECT_EQ(history[4].action, "Scan");
    EXPECT_EQ(history[4].server, "127.0.0.1");
    EXPECT_EQ(history[4].protocol, "TIME");
    EXPECT_EQ(history[4].outcome, "Answered");
    EXPECT_TRUE(history[4].roundTripMs.has_value());
    EXPECT_EQ(history[1].outcome, "No response");
    EXPECT_FALSE(history[1].roundTripMs.has_value());

    EXPECT_EQ(scan.sortListByResponse(), "");
    EXPECT_EQ(test::readFile(dir.file(kServerFileName)), "# mine\r\n127.0.0.1\r\n127.0.0.2\r\n127.0.0.3\r\n");
    EXPECT_EQ(test::readFile(dir.file("ServFile.bak")), old);
}

// A query that outlives its time-out is given up, not waited for: the scan
// moves on while the query's thread ends on its own.
TEST_F(ServerScanTest, ASilentServerIsGivenUpAfterItsCountdown) {
    FakeTimeServer silent(Reply::Silent);
    test::writeFile(dir.file(kServerFileName), "127.0.0.1\r\n");
    ServerScan scan(givenUp);
    scan.startStep();
    ASSERT_TRUE(test::waitUntil([&silent] { return silent.connections() > 0; }));
    // 50 tenths lose 7 a tick: the sixth tick falls below 10.
    for (int tick = 0; tick < 5; ++tick) EXPECT_FALSE(scan.tick().has_value()) << tick;
    const std::optional<ScanFinding> finding = scan.tick();
    ASSERT_TRUE(finding.has_value());
    EXPECT_EQ(finding->outcome, Outcome::TimedOut);
    EXPECT_EQ(finding->address, "127.0.0.1");
    EXPECT_FALSE(scan.measuringTime());
}

}  // namespace
}  // namespace tavrel
