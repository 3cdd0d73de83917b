#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/clock_correction.h"
#include "engine/operation.h"
#include "engine/supervisor.h"
#include "engine/time_query.h"
#include "platform/dialog.h"
#include "resources/dialogs.h"
#include "servers/server_list.h"
#include "storage/settings.h"
#include "tests/support/environment.h"
#include "tests/support/fake_time_servers.h"
#include "tests/support/window_fixture.h"

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

class Operation : public test::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        settings.dateRangeEnabled.store(0);
        settings.syncTimeout.store(5);
        listServers({"127.0.0.1"});
    }
    void listServers(const std::vector<std::string>& names) {
        std::string content;
        for (const auto& n : names) content += n + "\r\n";
        test::writeFile(dir.file(kServerFileName), content);
    }
    void start(int mode) {
        correctMode.store(mode);
        settings.abortQuery.store(0);
        startOperation(window);
    }
    bool runToEnd() { return runPassesUntil([] { return syncState.load() == kSyncIdle; }); }
};

TEST_F(Operation, CheckBySntpShowsEveryStepAndLeavesTheClock) {
    FakeSntpServer server(Reply::Correct);
    settings.protocol.store(1);
    test::setSimulatedOffsetSeconds(5);
    start(0);
    EXPECT_EQ(platform::getDlgItemText(window, kIdCheckButton), "Abort");
    EXPECT_FALSE(platform::isDlgItemEnabled(window, kIdCorrectButton));
    EXPECT_FALSE(platform::isDlgItemEnabled(window, kIdOptionsButton));
    EXPECT_EQ(platform::controlTooltip(window, kIdCheckButton), "Cancel Tavrel operation");
    EXPECT_EQ(refreshPeriod.load(), kRefreshOperationMs);
    ASSERT_TRUE(runToEnd());

    const std::vector<std::string> texts = statusTexts();
    const std::vector<std::string> expected = {"", "", "Initialising...", "Creating Socket...",
                                               "Looking for server at 127.0.0.1",
                                               "Waiting for reply from 127.0.0.1", "Converting..."};
    ASSERT_GE(texts.size(), expected.size() + 1);
    EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 7), expected);
    EXPECT_TRUE(texts.back().starts_with("Time Checked, Difference found as -4.99")) << texts.back();
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 5, 1e-6);
    EXPECT_EQ(platform::getDlgItemText(window, kIdServerName), "127.0.0.1");
    EXPECT_EQ(statusHold.load(), 40u);
    EXPECT_EQ(serverClockRunning.load(), 1);
    EXPECT_EQ(platform::getDlgItemText(window, kIdCheckButton), "Check");
    EXPECT_TRUE(platform::isDlgItemEnabled(window, kIdCorrectButton));
    EXPECT_EQ(platform::controlTooltip(window, kIdCheckButton), "Check the time but don't change it");
    EXPECT_EQ(refreshPeriod.load(), kRefreshShownMs);
}

TEST_F(Operation, CorrectBySntpSetsTheClockAndRecentresTheDateRange) {
    FakeSntpServer server(Reply::Correct);
    settings.protocol.store(1);
    settings.dateRangeEnabled.store(1);
    settings.dateRangeAutoReset.store(1);
    test::setSimulatedOffsetSeconds(-90);
    start(1);
    ASSERT_TRUE(runToEnd());
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.02);
    // About 90 s: the exact figure moves with the time the exchange took.
    const std::string shown = status();
    ASSERT_TRUE(shown.starts_with("Time Corrected by ")) << shown;
    const double figure = std::strtod(shown.c_str() + std::strlen("Time Corrected by "), nullptr);
    EXPECT_GT(figure, 89.7) << shown;
    EXPECT_LT(figure, 90.1) << shown;
    EXPECT_TRUE(status().ends_with(" ms")) << status();
    EXPECT_EQ(correctMode.load(), 0);
}

TEST_F(Operation, CheckAndCorrectByTime) {
    FakeTimeServer server(Reply::Correct);
    settings.protocol.store(0);
    test::setSimulatedOffsetSeconds(30);
    start(0);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(status(), "Time Checked, Difference found  in " + std::to_string(responseMs.load()) + " ms");
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 30, 1e-6);
    start(1);
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
    autoProtocolChoice.store(1);
    start(0);
    ASSERT_TRUE(runPassesUntil([&] { return journal.entries().size() >= 5; }));
    abortOperation(window);
    EXPECT_EQ(journal.entries(), (std::vector<std::string>{"A-SNTP", "A-TIME", "B-SNTP", "B-TIME", "A-SNTP"}));
    const std::vector<std::string> texts = statusTexts();
    EXPECT_TRUE(contains(texts, "Time out on127.0.0.1"));
    EXPECT_TRUE(contains(texts, "Unable to sync from 127.0.0.1"));
    EXPECT_TRUE(contains(texts, "Unable to sync from 127.0.0.2"));
    EXPECT_EQ(syncState.load(), kSyncIdle);
    EXPECT_EQ(queryThread.load(), 0u);
}

TEST_F(Operation, ManualAddressTimingOutEndsTheOperation) {
    FakeTimeServer server(Reply::Silent);
    settings.protocol.store(0);
    settings.serverSource.store(1);
    setManualAddressA("127.0.0.1");
    start(1);
    ASSERT_TRUE(runToEnd());
    const std::vector<std::string> texts = statusTexts();
    const auto timeOut = std::find(texts.begin(), texts.end(), "Time out on127.0.0.1");
    ASSERT_NE(timeOut, texts.end());
    ASSERT_NE(timeOut + 1, texts.end());
    EXPECT_EQ(*(timeOut + 1), "Unable to sync from 127.0.0.1");
    EXPECT_EQ(server.connections(), 1);
    EXPECT_NE(log().find("No response from 127.0.0.1"), std::string::npos);
}

TEST_F(Operation, DefaultServerOnlyStopsAfterOneTry) {
    listServers({"127.0.0.2", "127.0.0.3"});
    settings.protocol.store(0);
    settings.defaultServerOnly.store(1);
    start(0);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(status(), "Unable to sync from 127.0.0.2");
    EXPECT_EQ(settings.selectedServer.load(), 0);
}

TEST_F(Operation, SelectedServerMovesOnAndWraps) {
    listServers({"127.0.0.2", "127.0.0.3"});
    settings.protocol.store(0);
    start(0);
    std::vector<int32_t> selected;
    ASSERT_TRUE(runPassesUntil([&] {
        if (selected.empty() || selected.back() != settings.selectedServer.load()) {
            selected.push_back(settings.selectedServer.load());
        }
        return selected.size() >= 4;
    }));
    abortOperation(window);
    EXPECT_EQ(selected, (std::vector<int32_t>{0, 1, 0, 1}));
    EXPECT_EQ(syncState.load(), kSyncIdle);
}

TEST_F(Operation, AveragingFoldsFourReplies) {
    FakeTimeServer server(Reply::Correct, kJune2009);
    settings.protocol.store(0);
    settings.averageEnabled.store(1);
    start(0);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(server.connections(), 4);
    EXPECT_EQ(averageCount.load(), 4u);
    EXPECT_EQ(serverSeconds.load(), kJune2009);
}

TEST_F(Operation, AbortWhileWaitingForTheReply) {
    FakeSntpServer server(Reply::Silent);
    settings.protocol.store(1);
    start(0);
    ASSERT_TRUE(runPassesUntil([&] { return status() == "Waiting for reply from 127.0.0.1"; }));
    abortOperation(window);
    EXPECT_EQ(status(), "Aborting...");
    EXPECT_EQ(queryThread.load(), 0u);
    EXPECT_EQ(syncState.load(), kSyncIdle);
    EXPECT_EQ(platform::getDlgItemText(window, kIdCheckButton), "Check");
    EXPECT_EQ(statusHold.load(), 20u);
    supervisorPass(window);
    EXPECT_EQ(status(), "Ready");
}

TEST_F(Operation, EmptyListSwitchesToManualA) {
    FakeTimeServer server(Reply::Correct);
    settings.protocol.store(0);
    serverListEmpty.store(1);
    setManualAddressA("127.0.0.1");
    start(0);
    EXPECT_EQ(settings.serverSource.load(), 1);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(Operation, RunningTimeServerKeepsTheIdleLook) {
    FakeTimeServer server(Reply::Correct);
    settings.protocol.store(0);
    settings.timeServerEnabled.store(1);
    start(0);
    EXPECT_EQ(platform::getDlgItemText(window, kIdCheckButton), "Check");
    EXPECT_TRUE(platform::isDlgItemEnabled(window, kIdCorrectButton));
    ASSERT_TRUE(runToEnd());
}

TEST_F(Operation, ServiceModeShowsNothingAndStillLogs) {
    FakeTimeServer server(Reply::Correct);
    settings.protocol.store(0);
    serviceMode.store(1);
    const platform::WindowHandle none = platform::kNoWindow;
    correctMode.store(1);
    startOperation(none);
    bool ended = false;
    for (int i = 0; i < 20000 && !ended; ++i) {
        supervisorPass(none);
        ended = syncState.load() == kSyncIdle;
        if (!ended) {
            wakeEvent.wait(5);
            wakeEvent.reset();
        }
    }
    serviceMode.store(0);
    ASSERT_TRUE(ended);
    EXPECT_NE(log().find("Tavreled"), std::string::npos);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 1.1);
}

TEST_F(Operation, CloseDuringAnOperationEndsTheSupervisor) {
    FakeSntpServer server(Reply::Silent);
    settings.protocol.store(1);
    startSupervisor(window);
    start(0);
    ASSERT_TRUE(test::waitUntil([&] {
        platform::pumpMessages();
        return shownStep.load() >= 4;
    }));
    closeRequested.store(1);
    wakeEvent.set();
    joinSupervisor();
    platform::pumpMessages();
    EXPECT_EQ(commands, std::vector<int>{kCommandSupervisorEnded});
    // The query that was waiting is abandoned; it can still be ended.
    abortRunningQuery();
    EXPECT_EQ(queryThread.load(), 0u);
}

}  // namespace
}  // namespace tavrel
