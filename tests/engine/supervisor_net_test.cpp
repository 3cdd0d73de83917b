#include <gtest/gtest.h>

#include <thread>

#include "engine/supervisor.h"
#include "platform/time.h"
#include "storage/settings.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/fake_time_servers.h"

namespace tavrel {
namespace {

using test::FakeSntpServer;
using test::FakeTimeServer;
using test::Reply;

constexpr uint32_t kJune2009 = 3'452'846'400u;

class Supervisor : public test::EngineTest {};

TEST_F(Supervisor, CloseIsSeenAtTheEndOfThePassAndEndsTheLoop) {
    engine->start();
    ASSERT_TRUE(test::waitUntil([&] { return view.localClockShown() > 0; }));
    engine->requestClose();
    engine->wake();
    engine->join();
    EXPECT_TRUE(engine->ended());
    EXPECT_TRUE(view.ended());
}

TEST_F(Supervisor, ReadyComesFirstWithTheServerState) {
    view.setSuffix(" (TIME and SNTP Server Active)");
    engine->runPass();
    EXPECT_EQ(status(), "Ready (TIME and SNTP Server Active)");
}

TEST_F(Supervisor, IdlePassesDrawTheLocalClockOnlyWhileShown) {
    engine->runPass();
    EXPECT_EQ(view.localClockShown(), 1);
    engine->setWindowState(WindowState::InTray);
    engine->runPass();
    EXPECT_EQ(view.localClockShown(), 1);
    EXPECT_EQ(engine->refreshPeriod(), kRefreshHiddenMs);
}

uint64_t fakeTick = 0;

TEST_F(Supervisor, ServerClockRunsOnWithTheTickCount) {
    FakeTimeServer server(Reply::Correct, kJune2009);
    settings.protocol.store(Protocol::Time);
    fakeTick = 1'000'000;
    platform::setTickSource([] { return fakeTick; });
    ASSERT_TRUE(engine->requestOperation(OperationKind::Check));
    const bool ended = runToEnd();
    fakeTick += 2500;
    engine->runPass();
    platform::setTickSource(nullptr);
    ASSERT_TRUE(ended);
    const auto clocks = view.serverClocks();
    ASSERT_GE(clocks.size(), 2u);
    platform::FileTime before = 0;
    platform::FileTime after = 0;
    ASSERT_TRUE(platform::systemTimeToFileTime(clocks[clocks.size() - 2], before));
    ASSERT_TRUE(platform::systemTimeToFileTime(clocks.back(), after));
    EXPECT_EQ(after - before, 2500 * platform::kFileTimeUnitsPerMs);
}

TEST_F(Supervisor, ServiceStopLogsServiceStopped) {
    makeEngine(true);
    engine->start();
    ASSERT_TRUE(test::waitUntil([&] { return log().find("Started Service, ") != std::string::npos; }));
    engine->requestClose();
    engine->wake();
    engine->join();
    EXPECT_TRUE(engine->ended());
    EXPECT_NE(log().find(" : Service Stopped\r\n"), std::string::npos);
    EXPECT_TRUE(statusTexts().empty());
}

// The time-out counts in seconds whatever the window does, and the wait
// between passes follows the window at every moment.
TEST_F(Supervisor, MinimisedMidQueryTheTimeOutStillCountsInSeconds) {
    FakeSntpServer server(Reply::Silent);
    settings.protocol.store(Protocol::Sntp);
    settings.defaultServerOnly.store(true);
    engine->start();
    ASSERT_TRUE(engine->requestOperation(OperationKind::Check));
    ASSERT_TRUE(test::waitUntil([&] { return status().starts_with("Waiting for reply from"); }));
    const auto minimised = std::chrono::steady_clock::now();
    engine->setWindowState(WindowState::Minimised);
    EXPECT_EQ(engine->refreshPeriod(), kRefreshOperationMs);
    ASSERT_TRUE(test::waitUntil([&] { return !engine->busy(); }, std::chrono::seconds(60)));
    // 5 s from the query's start, counted while minimised: never the 30-s
    // passes of a hidden window.
    EXPECT_LT(std::chrono::steady_clock::now() - minimised, std::chrono::seconds(15));
    EXPECT_EQ(status(), "Unable to sync from 127.0.0.1");
    EXPECT_EQ(engine->refreshPeriod(), kRefreshHiddenMs);

    // Restored during an operation: afterwards the clock is drawn twice a second.
    ASSERT_TRUE(engine->requestOperation(OperationKind::Check));
    ASSERT_TRUE(test::waitUntil([&] { return status().starts_with("Waiting for reply from"); }));
    engine->setWindowState(WindowState::Shown);
    ASSERT_TRUE(test::waitUntil([&] { return !engine->busy(); }, std::chrono::seconds(60)));
    EXPECT_EQ(engine->refreshPeriod(), kRefreshShownMs);
    const int drawn = view.localClockShown();
    EXPECT_TRUE(test::waitUntil([&] { return view.localClockShown() >= drawn + 2; }, std::chrono::seconds(10)));
}

// The local clock runs on, once a second, while an operation waits on a
// server that never answers (as it does while a name takes seconds to
// resolve), on the real supervisor thread.
TEST_F(Supervisor, TheLocalClockRunsOnWhileAQueryWaits) {
    FakeSntpServer server(Reply::Silent);
    settings.protocol.store(Protocol::Sntp);
    settings.defaultServerOnly.store(true);
    settings.syncTimeout.store(std::chrono::seconds(60));
    engine->start();
    ASSERT_TRUE(engine->requestOperation(OperationKind::Check));
    ASSERT_TRUE(test::waitUntil([&] { return status().starts_with("Waiting for reply from"); }));
    const int before = view.localClockShown();
    // Two new seconds drawn, the query still waiting.
    EXPECT_TRUE(test::waitUntil([&] { return view.localClockShown() >= before + 2; }, std::chrono::seconds(20)));
    EXPECT_TRUE(engine->busy());
    EXPECT_TRUE(status().starts_with("Waiting for reply from")) << status();
    // Drawn at most once a second, not on every pass.
    const auto since = std::chrono::steady_clock::now();
    const int counted = view.localClockShown();
    ASSERT_TRUE(test::waitUntil([&] { return view.localClockShown() >= counted + 2; }, std::chrono::seconds(20)));
    EXPECT_GE(std::chrono::steady_clock::now() - since, std::chrono::milliseconds(1000));
    engine->requestAbort();
    EXPECT_TRUE(test::waitUntil([&] { return !engine->busy(); }, std::chrono::seconds(10)));
}

// Check, Abort and Check again, as fast as a user's clicks arrive, on the
// real threads: every operation ends by its time-out or by Abort, and the
// supervisor always ends when asked.
TEST_F(Supervisor, CheckAbortCheckNeverFreezesTheSupervisor) {
    FakeSntpServer server(Reply::Silent);
    settings.protocol.store(Protocol::Sntp);
    settings.defaultServerOnly.store(true);
    engine->start();
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(engine->requestOperation(OperationKind::Check));
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5 * 20));
        engine->requestAbort();
        ASSERT_TRUE(engine->requestOperation(OperationKind::Check)) << "round " << round;
        if (round % 5 == 4) {
            ASSERT_TRUE(test::waitUntil([&] { return !engine->busy(); }, std::chrono::seconds(60)));
            EXPECT_EQ(status(), "Unable to sync from 127.0.0.1");
        } else {
            engine->requestAbort();
        }
    }
    engine->requestClose();
    engine->wake();
    EXPECT_TRUE(test::waitUntil([&] { return engine->ended(); }, std::chrono::seconds(10)));
}

// A time server's line waits while an operation runs, then shows and stays.
TEST_F(Supervisor, ServerLinesWaitForTheOperationToEnd) {
    FakeSntpServer server(Reply::Silent);
    settings.protocol.store(Protocol::Sntp);
    ASSERT_TRUE(engine->requestOperation(OperationKind::Check));
    ASSERT_TRUE(runPassesUntil([&] { return status().starts_with("Waiting for reply from"); }));
    engine->showServerStatus("TIME Server Tavreled client");
    engine->runPass();
    EXPECT_NE(status(), "TIME Server Tavreled client");
    engine->requestAbort();
    engine->runPass();
    engine->runPass();
    EXPECT_EQ(status(), "TIME Server Tavreled client");
    for (int i = 0; i < 15; ++i) engine->runPass();
    EXPECT_EQ(status(), "TIME Server Tavreled client");
}

}  // namespace
}  // namespace tavrel
