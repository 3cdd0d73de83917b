// What the engine does with the machine's events: a wake after a long
// sleep, and a clock another program set (measured against this program's
// own steps, logged, kept in the History, and no longer served as good).
// Among the net tests for their simulated clock; no traffic.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "engine/auto_timer.h"
#include "engine/supervisor.h"
#include "platform/system_events.h"
#include "platform/time.h"
#include "protocol/server_replies.h"
#include "storage/history.h"
#include "storage/settings.h"
#include "tests/support/engine_fixture.h"

namespace tavrel {
namespace {

constexpr uint64_t kHourMs = 3'600'000;
constexpr int64_t kUnitsPerSecond = static_cast<int64_t>(platform::kFileTimeUnitsPerSecond);

std::atomic<uint64_t> fakeTick{0};

// The window's side of the AutoTimer: its one timer's period (0 while killed).
class TimerHost final : public AutoTimerHost {
public:
    void setAutoTimer(uint32_t ms) override { armedMs = ms; }
    void killAutoTimer() override { armedMs = 0; }
    void showMessage(std::string_view, std::string_view) override {}
    uint32_t armedMs = 0;
};

class SystemEvents : public test::EngineTest {
protected:
    void SetUp() override {
        test::EngineTest::SetUp();
        (void)platform::takeSystemEvents();
        fakeTick.store(50 * kHourMs);
        platform::setTickSource([] { return fakeTick.load(); });
    }
    void TearDown() override {
        platform::setTickSource(nullptr);
        (void)platform::takeSystemEvents();
        test::EngineTest::TearDown();
    }
    // AutoSync every `hours`, armed now on the window's timer.
    void autoSyncEvery(uint32_t hours) {
        settings.autoSyncEnabled.store(true);
        settings.autoSyncCount.store(hours);
        settings.autoSyncUnit.store(TimeUnit::Hours);
        settings.autoCheckEnabled.store(false);
        timer = std::make_unique<AutoTimer>(*engine, host);
        timer->arm();
    }
    // The machine sleeps `hours` (the tick count counts it; the window's
    // timer does not), wakes, and the engine's pass hands the wake to the
    // window, whose AutoTimer acts on it.
    void sleepAndWake(uint64_t hours) {
        fakeTick.fetch_add(hours * kHourMs);
        platform::raiseSystemEvent(platform::SystemEvent{platform::SystemEventKind::Resumed});
        const int before = view.resumedCount();
        engine->runPass();
        ASSERT_EQ(view.resumedCount(), before + 1);
        timer->resumed();
    }
    TimerHost host;
    std::unique_ptr<AutoTimer> timer;
};

TEST_F(SystemEvents, AWakeStartsTheAutoSyncThatFellDueInSleepAndOnlyThat) {
    autoSyncEvery(4);
    sleepAndWake(3);
    // Not yet due: nothing starts, and the timer is armed for the hour left.
    EXPECT_FALSE(engine->busy());
    EXPECT_GT(host.armedMs, 0u);
    EXPECT_LE(host.armedMs, kHourMs);
    EXPECT_EQ(timer->countdown().kind, AutoKind::Sync);

    sleepAndWake(2);
    // Five hours since the period began: the AutoSync runs at the wake.
    EXPECT_TRUE(engine->busy());
    EXPECT_EQ(timer->countdown().dueTick, fakeTick.load() + 4 * kHourMs);
}

TEST_F(SystemEvents, AnotherProgramsStepIsLoggedKeptAndUnsynchronisesTheServedClock) {
    settings.autoCheckEnabled.store(true);
    platform::raiseSystemEvent(platform::SystemEvent{platform::SystemEventKind::ClockStepped, 36'002'000'000});
    platform::raiseSystemEvent(platform::SystemEvent{platform::SystemEventKind::ClockStepped, -2'500'000});
    engine->runPass();
    const std::string text = log();
    EXPECT_NE(text.find("The clock was set by another program: +3600.2 s"), std::string::npos) << text;
    EXPECT_NE(text.find("The clock was set by another program: -0.3 s"), std::string::npos) << text;
    const std::vector<HistoryEntry> rows = readHistory();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].action, "Other program");
    EXPECT_EQ(rows[0].outcome, "Clock set");
    ASSERT_TRUE(rows[0].changeSeconds.has_value());
    EXPECT_NEAR(*rows[0].changeSeconds, 3600.2, 1e-6);
    // The window's AutoCheck is told to run.
    EXPECT_EQ(view.clockSetElsewhereCount(), 2);

    // Even while the system says the clock is kept, it is not served as good.
    ClockStanding standing = engine->clockStanding();
    standing.systemSynchronised = true;
    standing.systemMaxErrorUs = 1000;
    EXPECT_FALSE(servedClockAt(standing, platform::getSystemTimeAsFileTime()).synchronised);
}

TEST(SystemEventMeasure, AStepIsMeasuredAndThisProgramsOwnIsNot) {
    // The test binaries run on the simulated clock: its offset is the clock.
    test::setSimulatedOffsetSeconds(0);
    platform::rebaseClockGap();
    (void)platform::takeSystemEvents();
    ASSERT_TRUE(platform::stepSystemClock(20 * kUnitsPerSecond));
    platform::clockChangeNoticed();
    EXPECT_TRUE(platform::takeSystemEvents().empty());

    // Another program moves the clock on another hour and a fifth of a second.
    test::setSimulatedOffsetSeconds(3620.2);
    platform::clockChangeNoticed();
    const std::vector<platform::SystemEvent> events = platform::takeSystemEvents();
    test::setSimulatedOffsetSeconds(0);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, platform::SystemEventKind::ClockStepped);
    EXPECT_NEAR(static_cast<double>(events[0].stepUnits) / kUnitsPerSecond, 3600.2, 0.05);
}

}  // namespace
}  // namespace tavrel
