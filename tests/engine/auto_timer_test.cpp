#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "engine/auto_timer.h"
#include "platform/time.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

uint64_t fakeTick = 0;
constexpr uint64_t kMinute = 60'000;
constexpr uint64_t kHour = 3'600'000;

// An engine stand-in that records what the timer starts; an operation runs
// while `busyFor` says so.
class RecordingTarget final : public AutoTimerTarget {
public:
    bool operationOrScanRunning() const override { return busy; }
    bool requestAutoOperation(bool sync) override {
        if (busy) return false;
        started.push_back(sync ? 'S' : 'C');
        return true;
    }
    void setCountdown(Countdown c) override { countdown = c; }
    bool busy = false;
    std::string started;
    Countdown countdown;
};

// The window's side: the one timer's period (0 while killed) and the
// messages shown.
class RecordingHost final : public AutoTimerHost {
public:
    void setAutoTimer(uint32_t ms) override { armedMs = ms; }
    void killAutoTimer() override { armedMs = 0; }
    void showMessage(std::string_view text, std::string_view) override { messages.emplace_back(text); }
    uint32_t armedMs = 0;
    std::vector<std::string> messages;
};

class AutoTimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetProcessState(dir.path(), dir.path());
        ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
        applyDefaults();
        fakeTick = 5'000'000;
        platform::setTickSource([] { return fakeTick; });
    }
    void TearDown() override { platform::setTickSource(nullptr); }
    void every(uint32_t syncCount, TimeUnit syncUnit, uint32_t checkCount, TimeUnit checkUnit) {
        settings.autoSyncEnabled.store(syncCount != 0);
        settings.autoSyncCount.store(syncCount);
        settings.autoSyncUnit.store(syncUnit);
        settings.autoCheckEnabled.store(checkCount != 0);
        settings.autoCheckCount.store(checkCount);
        settings.autoCheckUnit.store(checkUnit);
    }
    uint32_t armedMs() const { return host.armedMs; }
    // Lets time run to the armed timer and fires it.
    void runToTimer() {
        fakeTick += armedMs();
        timer.fired();
    }
    std::string countdownText() {
        return formatCountdown(target.countdown.kind,
                               static_cast<int64_t>(target.countdown.dueTick) - static_cast<int64_t>(fakeTick))
            .text;
    }
    test::TempDir dir;
    RecordingTarget target;
    RecordingHost host;
    AutoTimer timer{target, host};
};

TEST(Countdown, ShowsTheTwoLargestUnits) {
    test::TempDir dir;
    test::resetProcessState(dir.path(), dir.path());
    ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
    EXPECT_EQ(formatCountdown(AutoKind::Sync, 90'061'000).text, "1 Dys 1 Hrs until AutoSync");
    EXPECT_FALSE(formatCountdown(AutoKind::Sync, 90'061'000).showsSeconds);
    EXPECT_EQ(formatCountdown(AutoKind::Check, 3'725'000).text, "1 Hrs 2 Mns until AutoCheck");
    EXPECT_EQ(formatCountdown(AutoKind::Sync, 65'000).text, "1 Mns 5 Scs until AutoSync");
    EXPECT_TRUE(formatCountdown(AutoKind::Sync, 65'000).showsSeconds);
    EXPECT_EQ(formatCountdown(AutoKind::Sync, 500).text, "0 Scs until AutoSync");
    EXPECT_EQ(formatCountdown(AutoKind::Sync, -4000).text, "0 Scs until AutoSync");
    EXPECT_EQ(formatCountdown(AutoKind::Sync, 2 * 86'400'000 + 5 * 60'000).text, "2 Dys 5 Mns until AutoSync");
    EXPECT_EQ(formatCountdown(AutoKind::Sync, 2 * 86'400'000 + 7'000).text, "2 Dys 7 Scs until AutoSync");
    EXPECT_EQ(formatCountdown(AutoKind::Sync, 2 * 86'400'000).text, "2 Dys until AutoSync");
}

TEST_F(AutoTimerTest, CheckEveryHourComesBeforeSyncEveryFourHours) {
    every(4, TimeUnit::Hours, 1, TimeUnit::Hours);
    timer.arm();
    EXPECT_EQ(timer.armed(), AutoKind::Check);
    EXPECT_EQ(armedMs(), kHour);
    for (int hour = 1; hour <= 8; ++hour) runToTimer();
    // Checks at hours 1, 2, 3, 5, 6, 7; at hours 4 and 8 the AutoSync,
    // whose Correct also reports the difference.
    EXPECT_EQ(target.started, "CCCSCCCS");
}

// With AutoCheck on at its defaults (both every 4 hours) the clock was never
// corrected: ties went to AutoCheck and restarted both periods.
TEST_F(AutoTimerTest, WhenBothAreDueAutoSyncRuns) {
    every(4, TimeUnit::Hours, 4, TimeUnit::Hours);
    timer.arm();
    EXPECT_EQ(timer.armed(), AutoKind::Sync);
    for (int i = 0; i < 6; ++i) runToTimer();
    EXPECT_EQ(target.started, "SSSSSS");
    EXPECT_EQ(fakeTick, 5'000'000 + 6 * 4 * kHour);
}

// AutoSync every 2 minutes with AutoCheck every minute: a Correct every two
// minutes, a Check in between, none lost to the other.
TEST_F(AutoTimerTest, SyncEveryTwoMinutesWithACheckEveryMinute) {
    every(2, TimeUnit::Minutes, 1, TimeUnit::Minutes);
    timer.arm();
    for (int i = 0; i < 6; ++i) runToTimer();
    EXPECT_EQ(target.started, "CSCSCS");
    EXPECT_EQ(fakeTick, 5'000'000 + 6 * kMinute);
}

TEST_F(AutoTimerTest, FiringDuringAnOperationPostponesBy30Seconds) {
    every(4, TimeUnit::Hours, 0, TimeUnit::Minutes);
    timer.arm();
    fakeTick += 4 * kHour;
    target.busy = true;
    timer.fired();
    EXPECT_EQ(armedMs(), 30'000u);
    EXPECT_EQ(countdownText(), "30 Scs until AutoSync");
    EXPECT_TRUE(target.started.empty());
    target.busy = false;
    runToTimer();
    EXPECT_EQ(target.started, "S");
    // The next period runs from when it ran.
    EXPECT_EQ(armedMs(), 4 * kHour);
}

TEST_F(AutoTimerTest, LongPeriodsAreArmedInStepsAndFireWhenDue) {
    EXPECT_EQ(autoPeriod(99, TimeUnit::Days), std::chrono::hours(99 * 24));
    every(99, TimeUnit::Days, 0, TimeUnit::Minutes);
    timer.arm();
    EXPECT_EQ(armedMs(), kLongestTimerStepMs);
    EXPECT_EQ(countdownText(), "99 Dys until AutoSync");
    while (target.started.empty()) {
        ASSERT_LE(fakeTick, 5'000'000 + 99ULL * 86'400'000ULL) << "did not fire when due";
        runToTimer();
    }
    EXPECT_EQ(fakeTick, 5'000'000 + 99ULL * 86'400'000ULL);
}

TEST_F(AutoTimerTest, ResetRestartsBothPeriodsFromNow) {
    every(4, TimeUnit::Hours, 0, TimeUnit::Minutes);
    timer.arm();
    fakeTick += 3'000'000;
    timer.reset();
    EXPECT_EQ(armedMs(), 4 * kHour);
}

// A period changed in Options takes effect at once, counted from that
// period's start: the countdown shows the event the timer will start, and an
// event already past its new period runs now.
TEST_F(AutoTimerTest, AChangedPeriodTakesEffectAtOnce) {
    every(0, TimeUnit::Hours, 1, TimeUnit::Hours);
    timer.arm();
    fakeTick += 10 * kMinute;
    settings.autoCheckCount.store(2);
    timer.settingsChanged();
    EXPECT_EQ(countdownText(), "1 Hrs 50 Mns until AutoCheck");
    EXPECT_EQ(armedMs(), 110 * kMinute);

    settings.autoCheckCount.store(5);
    settings.autoCheckUnit.store(TimeUnit::Minutes);
    timer.settingsChanged();
    runToTimer();
    EXPECT_EQ(target.started, "C");
    EXPECT_LE(fakeTick, 5'000'000 + 10 * kMinute + 5000);  // at once
    EXPECT_EQ(countdownText(), "5 Mns until AutoCheck");
}

TEST_F(AutoTimerTest, SwitchingBothOffStopsTheTimer) {
    every(4, TimeUnit::Hours, 1, TimeUnit::Hours);
    timer.arm();
    settings.autoCheckEnabled.store(false);
    timer.settingsChanged();
    EXPECT_EQ(timer.armed(), AutoKind::Sync);
    EXPECT_EQ(armedMs(), 4 * kHour);
    settings.autoSyncEnabled.store(false);
    timer.settingsChanged();
    EXPECT_EQ(timer.armed(), AutoKind::None);
    EXPECT_EQ(armedMs(), 0u);
}

// A count of 0 (a settings file edited by hand) says so and runs every
// minute.
TEST_F(AutoTimerTest, APeriodOfNoMinutesSaysSoAndCountsAsAMinute) {
    every(1, TimeUnit::Minutes, 0, TimeUnit::Minutes);
    settings.autoSyncCount.store(0);
    timer.arm();
    EXPECT_EQ(host.messages, std::vector<std::string>{"AutoSync Error"});
    EXPECT_EQ(armedMs(), kMinute);
}

// A Check asked for at once (the clock set by another program) runs at the
// next firing, also on a machine up for less than one period (here 1.4 h
// against 4 h), and the period then starts from it.
TEST_F(AutoTimerTest, ACheckAskedForAtOnceRunsOnAMachineUpForLessThanAPeriod) {
    every(0, TimeUnit::Hours, 4, TimeUnit::Hours);
    timer.arm();
    timer.checkNow();
    EXPECT_LE(armedMs(), 1000u);
    runToTimer();
    EXPECT_EQ(target.started, "C");
    EXPECT_EQ(armedMs(), 4 * kHour);
}

TEST_F(AutoTimerTest, PeriodsRunOnPastTheWrapOfTheShortTickCount) {
    every(1, TimeUnit::Minutes, 0, TimeUnit::Minutes);
    fakeTick = 0xFFFFFFF0u;
    timer.arm();
    EXPECT_EQ(armedMs(), kMinute);
    runToTimer();  // the 32-bit tick count wrapped meanwhile
    EXPECT_EQ(target.started, "S");
}

}  // namespace
}  // namespace tavrel
