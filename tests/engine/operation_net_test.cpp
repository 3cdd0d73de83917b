#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/supervisor.h"
#include "servers/server_list.h"
#include "storage/history.h"
#include "storage/settings.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/environment.h"
#include "tests/support/fake_time_servers.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

using test::FakeSntpServer;
using test::FakeTimeServer;
using test::Journal;
using test::Listen;
using test::Reply;

constexpr uint32_t kJune2009 = 3'452'846'400u;
constexpr uint32_t kSecondLoopback = 0x7F000002;

bool contains(const std::vector<std::string>& texts, const std::string& prefix) {
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.starts_with(prefix); });
}

// The figure of a result text ("... by 299.99871 Scs ...").
double figureAfter(const std::string& text, const std::string& lead) {
    const size_t at = text.find(lead);
    return at == std::string::npos ? 0.0 : std::strtod(text.c_str() + at + lead.size(), nullptr);
}

class Operation : public test::EngineTest {
protected:
    void start(OperationKind kind) { ASSERT_TRUE(engine->requestOperation(kind)); }
};

// Every Check, Correct and automatic run leaves a row in the clock's
// history: who was asked, how, the offset measured and the round trip.
TEST_F(Operation, EveryRunLeavesARowInTheHistory) {
    FakeSntpServer server(Reply::Correct);
    settings.protocol.store(1);
    test::setSimulatedOffsetSeconds(-300);  // the server is 300 s ahead
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    start(OperationKind::Correct);
    ASSERT_TRUE(runToEnd());
    ASSERT_TRUE(engine->requestAutoOperation(false));
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(test::readFile(dir.file(kHistoryFileName)).starts_with(std::string(kHistoryHeader) + "\r\n"));
    const std::vector<HistoryEntry> rows = readHistory();
    ASSERT_EQ(rows.size(), 3u);
    const char* actions[] = {"Check", "Correct", "AutoCheck"};
    const char* outcomes[] = {"Checked", "Corrected", "Checked"};
    const double offsets[] = {300, 300, 0};
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].action, actions[i]);
        EXPECT_EQ(rows[i].outcome, outcomes[i]);
        EXPECT_EQ(rows[i].server, "127.0.0.1");
        EXPECT_EQ(rows[i].address, "127.0.0.1");
        EXPECT_EQ(rows[i].protocol, "SNTP");
        ASSERT_TRUE(rows[i].offsetSeconds.has_value());
        EXPECT_NEAR(*rows[i].offsetSeconds, offsets[i], 0.05);
        EXPECT_TRUE(rows[i].roundTripMs.has_value());
    }
}

TEST_F(Operation, CheckBySntpShowsEveryStepAndTheExactDifference) {
    FakeSntpServer server(Reply::Correct);
    settings.protocol.store(1);
    test::setSimulatedOffsetSeconds(-300);  // the server is 300 s ahead
    start(OperationKind::Check);
    engine->runPass();
    EXPECT_TRUE(view.busy());
    EXPECT_EQ(engine->refreshPeriod(), kRefreshOperationMs);
    ASSERT_TRUE(runToEnd());

    const std::vector<std::string> texts = statusTexts();
    const std::vector<std::string> expected = {"Initialising...", "Creating Socket...",
                                               "Looking for server at 127.0.0.1",
                                               "Waiting for reply from 127.0.0.1", "Converting..."};
    ASSERT_GE(texts.size(), expected.size() + 1);
    EXPECT_EQ(std::vector<std::string>(texts.end() - 6, texts.end() - 1), expected);
    EXPECT_TRUE(texts.back().starts_with("Time Checked, Difference found as ")) << texts.back();
    // Not 0.12% short of the true difference.
    EXPECT_NEAR(figureAfter(texts.back(), " as "), 300, 0.05) << texts.back();
    EXPECT_NEAR(test::simulatedOffsetSeconds(), -300, 1e-6);
    EXPECT_EQ(view.serverName(), "127.0.0.1");
    EXPECT_FALSE(view.busy());
    EXPECT_EQ(engine->refreshPeriod(), kRefreshShownMs);
}

TEST_F(Operation, CorrectBySntpSetsTheClockAndShowsTheChangeMade) {
    FakeSntpServer server(Reply::Correct);
    settings.protocol.store(1);
    settings.dateRangeEnabled.store(1);
    settings.dateRangeAutoReset.store(1);
    test::setSimulatedOffsetSeconds(-90);
    start(OperationKind::Correct);
    ASSERT_TRUE(runToEnd());
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.02);
    const std::string shown = status();
    ASSERT_TRUE(shown.starts_with("Time Corrected by ")) << shown;
    EXPECT_NEAR(figureAfter(shown, " by "), 90, 0.05) << shown;
    EXPECT_TRUE(shown.ends_with(" ms")) << shown;
}

TEST_F(Operation, CheckAndCorrectByTime) {
    FakeTimeServer server(Reply::Correct);
    settings.protocol.store(0);
    test::setSimulatedOffsetSeconds(30);
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(status().starts_with("Time Checked, Difference found  in ")) << status();
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 30, 1e-6);
    start(OperationKind::Correct);
    ASSERT_TRUE(runToEnd());
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 1.1);
    EXPECT_TRUE(status().starts_with("Time Corrected in ")) << status();
    EXPECT_EQ(server.connections(), 2);
}

TEST_F(Operation, AutoFallsBackThroughProtocolsAndServers) {
    if (test::runningUnderWine()) GTEST_SKIP() << "under Wine a UDP port bound on 127.0.0.1 is held on 127.0.0.2 too";
    Journal journal;
    FakeSntpServer sntpA(Reply::Silent, 0, 0, Listen{0x7F000001, &journal, "A"});
    FakeTimeServer timeA(Reply::Silent, 0, 0, Listen{0x7F000001, &journal, "A"});
    FakeSntpServer sntpB(Reply::Silent, 0, 0, Listen{kSecondLoopback, &journal, "B"});
    FakeTimeServer timeB(Reply::Silent, 0, 0, Listen{kSecondLoopback, &journal, "B"});
    listServers({"127.0.0.1", "127.0.0.2"});
    settings.protocol.store(2);
    start(OperationKind::Check);
    ASSERT_TRUE(runPassesUntil([&] { return journal.entries().size() >= 5; }));
    engine->requestAbort();
    engine->runPass();
    EXPECT_EQ(journal.entries(), (std::vector<std::string>{"A-SNTP", "A-TIME", "B-SNTP", "B-TIME", "A-SNTP"}));
    const std::vector<std::string> texts = statusTexts();
    EXPECT_TRUE(contains(texts, "Time out on127.0.0.1"));
    EXPECT_TRUE(contains(texts, "Unable to sync from 127.0.0.1"));
    EXPECT_TRUE(contains(texts, "Unable to sync from 127.0.0.2"));
    EXPECT_EQ(status(), "Aborting...");
    EXPECT_FALSE(engine->busy());
}

TEST_F(Operation, ManualAddressTimingOutEndsTheOperation) {
    FakeTimeServer server(Reply::Silent);
    settings.protocol.store(0);
    settings.serverSource.store(1);
    setManualAddressA("127.0.0.1");
    start(OperationKind::Correct);
    ASSERT_TRUE(runToEnd());
    const std::vector<std::string> texts = statusTexts();
    const auto timeOut = std::find(texts.begin(), texts.end(), "Time out on127.0.0.1");
    ASSERT_NE(timeOut, texts.end());
    ASSERT_NE(timeOut + 1, texts.end());
    EXPECT_EQ(*(timeOut + 1), "Unable to sync from 127.0.0.1");
    EXPECT_EQ(server.connections(), 1);
    EXPECT_NE(log().find("No response from 127.0.0.1"), std::string::npos);
}

TEST_F(Operation, ListWalkMovesTheSelectionAndWraps) {
    listServers({"127.0.0.2", "127.0.0.3"});
    settings.protocol.store(0);
    settings.defaultServerOnly.store(1);
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(status(), "Unable to sync from 127.0.0.2");
    EXPECT_EQ(settings.selectedServer.load(), 0);

    settings.defaultServerOnly.store(0);
    start(OperationKind::Check);
    std::vector<int32_t> selected;
    ASSERT_TRUE(runPassesUntil([&] {
        if (selected.empty() || selected.back() != settings.selectedServer.load()) {
            selected.push_back(settings.selectedServer.load());
        }
        return selected.size() >= 4;
    }));
    engine->requestAbort();
    engine->runPass();
    EXPECT_EQ(selected, (std::vector<int32_t>{0, 1, 0, 1}));
    EXPECT_FALSE(engine->busy());
}

TEST_F(Operation, AveragingFoldsFourReplies) {
    FakeTimeServer server(Reply::Correct, kJune2009);
    settings.protocol.store(0);
    settings.averageEnabled.store(1);
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(server.connections(), 4);
}

TEST_F(Operation, EmptyListSwitchesToManualA) {
    FakeTimeServer server(Reply::Correct);
    settings.protocol.store(0);
    serverListEmpty.store(1);
    setManualAddressA("127.0.0.1");
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(settings.serverSource.load(), 1);
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(Operation, RunningTimeServerKeepsTheIdleLook) {
    FakeTimeServer server(Reply::Correct);
    settings.protocol.store(0);
    settings.timeServerEnabled.store(1);
    start(OperationKind::Check);
    engine->runPass();
    EXPECT_FALSE(view.busy());
    ASSERT_TRUE(runToEnd());
}

TEST_F(Operation, ServiceShowsNothingAndStillLogs) {
    FakeTimeServer server(Reply::Correct);
    settings.protocol.store(0);
    makeEngine(true);
    start(OperationKind::Correct);
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(statusTexts().empty());
    EXPECT_NE(log().find("Tavreled"), std::string::npos);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 1.1);
}

// Abort leaves nothing behind: the next Check waits for its own query
// instead of failing at once with a false "No response" (and never waits
// for a query whose time-out nobody counts).
TEST_F(Operation, CheckAfterAbortStartsClean) {
    FakeSntpServer server(Reply::Silent);
    settings.protocol.store(1);
    settings.defaultServerOnly.store(1);
    for (int round = 0; round < 3; ++round) {
        start(OperationKind::Check);
        ASSERT_TRUE(runPassesUntil([&] { return status().starts_with("Waiting for reply from"); }));
        engine->requestAbort();
        start(OperationKind::Check);
        view.clear();
        engine->runPass();
        engine->runPass();
        EXPECT_FALSE(contains(statusTexts(), "Unable to sync")) << "round " << round;
        EXPECT_TRUE(engine->busy());
        ASSERT_TRUE(runPassesUntil([&] { return status().starts_with("Waiting for reply from"); }));
        engine->requestAbort();
        engine->runPass();
    }
    EXPECT_EQ(log().find("No response"), std::string::npos) << log();
}

// What runs stays what it was started as: a Correct asked for (or an
// AutoSync due) while a Check walks the list does not turn it into one.
TEST_F(Operation, ACheckStaysACheckWhileItRuns) {
    FakeSntpServer server(Reply::Correct);
    listServers({"127.0.0.2", "127.0.0.1"});  // nobody answers at 127.0.0.2
    settings.protocol.store(1);
    test::setSimulatedOffsetSeconds(40);
    start(OperationKind::Check);
    ASSERT_TRUE(runPassesUntil([&] {
        if (!engine->busy()) return true;
        if (engine->requestOperation(OperationKind::Correct)) ADD_FAILURE() << "a second operation was taken";
        return false;
    }));
    EXPECT_TRUE(status().starts_with("Time Checked")) << status();
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 40, 1e-6);
}

}  // namespace
}  // namespace tavrel
