#include <gtest/gtest.h>

#include "engine/auto_timer.h"
#include "engine/operation.h"
#include "engine/time_query.h"
#include "platform/dialog.h"
#include "platform/dialog_testing.h"
#include "platform/time.h"
#include "resources/dialogs.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

uint64_t fakeTick = 0;

class AutoTimer : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetProcessState(dir.path(), dir.path());
        ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
        applyDefaults();
        resetAutoTimerState();
        resetOperationState();
        platform::testing::resetDialogManager();
        platform::testing::useManualTimers(true);
        fakeTick = 5'000'000;
        platform::setTickSource([] { return fakeTick; });
        window = platform::createDialog(kMainDialog, nullptr);
    }
    void TearDown() override {
        platform::setTickSource(nullptr);
        platform::testing::resetDialogManager();
    }
    void every(int32_t syncCount, int32_t syncUnit, int32_t checkCount, int32_t checkUnit) {
        settings.autoSyncEnabled.store(syncCount != 0);
        settings.autoSyncCount.store(static_cast<uint32_t>(syncCount));
        settings.autoSyncUnit.store(syncUnit);
        settings.autoCheckEnabled.store(checkCount != 0);
        settings.autoCheckCount.store(static_cast<uint32_t>(checkCount));
        settings.autoCheckUnit.store(checkUnit);
    }
    uint32_t armedMs() { return platform::testing::timerPeriod(window, kAutoTimerId); }
    std::string countdownFor(uint32_t leftMs, int32_t kind) {
        autoTimerKind.store(kind);
        countdownBase.store(fakeTick);
        countdownPeriod.store(leftMs);
        return formatCountdown();
    }
    test::TempDir dir;
    platform::WindowHandle window = platform::kNoWindow;
};

TEST_F(AutoTimer, CountdownShowsTheTwoLargestUnits) {
    EXPECT_EQ(countdownFor(90'061'000, kAutoSync), "1 Dys 1 Hrs until AutoSync");
    EXPECT_EQ(autoTimerKind.load(), kAutoSync);
    EXPECT_EQ(countdownFor(3'725'000, kAutoCheck), "1 Hrs 2 Mns until AutoCheck");
    EXPECT_EQ(countdownFor(65'000, kAutoSync), "1 Mns 5 Scs until AutoSync");
    EXPECT_EQ(autoTimerKind.load(), kAutoSync + kRedrawMark);
    EXPECT_EQ(countdownFor(500, kAutoSync + kRedrawMark), "0 Scs until AutoSync");
    EXPECT_EQ(countdownFor(2 * 86'400'000 + 5 * 60'000, kAutoSync), "2 Dys 5 Mns until AutoSync");
    EXPECT_EQ(countdownFor(2 * 86'400'000 + 7'000, kAutoSync), "2 Dys 7 Scs until AutoSync");
    EXPECT_EQ(countdownFor(2 * 86'400'000, kAutoSync), "2 Dys until AutoSync");
}

TEST_F(AutoTimer, CheckEveryHourComesBeforeSyncEveryFourHours) {
    every(4, 1, 1, 1);
    armAutoTimer(window);
    EXPECT_EQ(autoTimerKind.load(), kAutoCheck);
    EXPECT_EQ(armedMs(), 3'600'000u);
    fakeTick += 3'600'000;
    syncState.store(kSyncStopRequested);  // keeps the operation from starting
    autoTimerFired(window);
    EXPECT_EQ(correctMode.load(), 0);
    EXPECT_EQ(autoTimerKind.load(), kAutoCheck);
    EXPECT_EQ(armedMs(), 3'600'000u);
}

TEST_F(AutoTimer, EqualPeriodsArmTheCheckAndRestartBoth) {
    every(1, 1, 60, 0);
    armAutoTimer(window);
    EXPECT_EQ(autoTimerKind.load(), kAutoCheck);
    fakeTick += 3'600'000;
    syncState.store(kSyncStopRequested);
    autoTimerFired(window);
    EXPECT_EQ(autoTimerKind.load(), kAutoCheck);
    EXPECT_EQ(autoSyncStart.load(), fakeTick);
    EXPECT_EQ(armedMs(), 3'600'000u);
}

TEST_F(AutoTimer, AnEventLessThanAMinuteAwayRestartsBothPeriods) {
    every(4, 1, 1, 1);
    autoSyncStart.store(fakeTick - 4 * 3'600'000 + 30'000);  // AutoSync due in 30 s
    autoCheckStart.store(fakeTick);
    armAutoTimer(window);
    EXPECT_EQ(autoSyncStart.load(), fakeTick);
    EXPECT_EQ(autoTimerKind.load(), kAutoCheck);
    EXPECT_EQ(armedMs(), 3'600'000u);
}

TEST_F(AutoTimer, PeriodOfZeroShowsTheErrorAndArmsOneMinute) {
    every(0, 0, 0, 0);
    settings.autoSyncEnabled.store(1);
    armAutoTimer(window);
    EXPECT_EQ(armedMs(), 60'000u);
    EXPECT_EQ(platform::testing::shownMessageBoxes(), std::vector<std::string>{"Tavrel.exe: AutoSync Error"});
}

TEST_F(AutoTimer, FiringDuringAQueryPostponesBy30Seconds) {
    every(4, 1, 0, 0);
    armAutoTimer(window);
    fakeTick += 4 * 3'600'000;
    queryStep.store(3);
    autoTimerFired(window);
    queryStep.store(0);
    EXPECT_EQ(armedMs(), 30'000u);
    EXPECT_EQ(countdownPeriod.load(), 30'000u);
    EXPECT_EQ(autoTimerKind.load(), kAutoSync);
    EXPECT_EQ(formatCountdown(), "30 Scs until AutoSync");
}

TEST_F(AutoTimer, LongPeriodsAreArmedInStepsAndFireWhenDue) {
    EXPECT_EQ(autoPeriodMs(99, 2), 99ULL * 86'400'000ULL);
    EXPECT_EQ(autoPeriodMs(5, 7), 5ULL * 86'400'000ULL);
    every(99, 2, 0, 0);
    armAutoTimer(window);
    EXPECT_EQ(armedMs(), kLongestTimerStepMs);
    EXPECT_EQ(formatCountdown(), "99 Dys until AutoSync");
    // Each step that ends before the event only re-arms.
    syncState.store(kSyncStopRequested);
    correctMode.store(7);
    uint64_t steps = 0;
    while (fakeTick + kLongestTimerStepMs < 5'000'000 + 99ULL * 86'400'000ULL) {
        fakeTick += armedMs();
        autoTimerFired(window);
        ++steps;
        ASSERT_EQ(correctMode.load(), 7) << "fired early after " << steps << " steps";
    }
    fakeTick = 5'000'000 + 99ULL * 86'400'000ULL;
    autoTimerFired(window);
    EXPECT_EQ(correctMode.load(), 1);
    EXPECT_EQ(autoSyncStart.load(), fakeTick);
}

TEST_F(AutoTimer, ResetRestartsBothPeriodsFromNow) {
    every(4, 1, 0, 0);
    armAutoTimer(window);
    fakeTick += 3'000'000;
    resetAutoTimers(window);
    EXPECT_EQ(autoSyncStart.load(), fakeTick);
    EXPECT_EQ(armedMs(), 4u * 3'600'000u);
}

TEST_F(AutoTimer, PeriodsRunOnPastTheWrapOfTheShortTickCount) {
    every(1, 0, 0, 0);
    fakeTick = 0xFFFFFFF0u;
    armAutoTimer(window);
    EXPECT_EQ(armedMs(), 60'000u);
    fakeTick += 30'000;  // the 32-bit tick count wrapped meanwhile
    EXPECT_EQ(timeUntilNextAuto(), 30'000);
}

}  // namespace
}  // namespace tavrel
