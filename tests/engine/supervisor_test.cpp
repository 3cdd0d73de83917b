#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "engine/clock_correction.h"
#include "engine/operation.h"
#include "engine/supervisor.h"
#include "platform/dialog.h"
#include "platform/dialog_testing.h"
#include "platform/time.h"
#include "resources/dialogs.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "tests/support/time_values.h"
#include "tests/support/temp_dir.h"
#include "timeservice/time_servers.h"
#include "ui/main_window_display.h"

namespace tavrel {
namespace {

// Holds the supervisor at the start of chosen passes until the test lets it go.
class PassGate {
public:
    void holdAt(uint64_t pass) {
        std::lock_guard lock(mutex_);
        holdAt_ = pass;
        changed_.notify_all();
    }
    void arrive(uint64_t pass) {
        std::unique_lock lock(mutex_);
        passes_ = pass;
        wakeSetAtStart_[pass % 8] = wakeEvent.isSet();
        changed_.notify_all();
        changed_.wait(lock, [&] { return pass != holdAt_; });
    }
    bool waitForPass(uint64_t pass) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return passes_ >= pass; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        holdAt_ = 0;
        changed_.notify_all();
    }
    uint64_t passes() {
        std::lock_guard lock(mutex_);
        return passes_;
    }
    bool wakeSetAtStartOf(uint64_t pass) {
        std::lock_guard lock(mutex_);
        return wakeSetAtStart_[pass % 8];
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t holdAt_ = 0;
    uint64_t passes_ = 0;
    bool wakeSetAtStart_[8] = {};
};

class Supervisor : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetProcessState(dir.path(), dir.path());
        ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
        applyDefaults();
        platform::testing::resetDialogManager();
        resetOperationState();
        serverActivity.store(0);
        statusHold.store(0);
        windowState.store(kWindowShown);
        serverClockRunning.store(0);
        window = platform::createDialog(kMainDialog, [this](platform::WindowHandle, const platform::WindowMessage& m) {
            if (m.kind == platform::MessageKind::Command) commands.push_back(m.id);
            return intptr_t{0};
        });
        setSupervisorPassObserver([this](uint64_t pass) { gate.arrive(pass); });
    }
    void TearDown() override {
        gate.release();
        closeRequested.store(1);
        wakeEvent.set();
        joinSupervisor();
        setSupervisorPassObserver(nullptr);
        serviceMode.store(0);
        platform::setTickSource(nullptr);
        platform::testing::resetDialogManager();
    }
    test::TempDir dir;
    platform::WindowHandle window = platform::kNoWindow;
    std::vector<int> commands;
    PassGate gate;
};

TEST_F(Supervisor, WakeUpsDuringAPassGiveOneEarlyPass) {
    refreshPeriod.store(600'000);
    gate.holdAt(1);
    startSupervisor(window);
    ASSERT_TRUE(gate.waitForPass(1));
    wakeEvent.set();
    wakeEvent.set();
    wakeEvent.set();
    gate.holdAt(2);  // lets pass 1 go on and holds pass 2
    ASSERT_TRUE(gate.waitForPass(2));
    // The wait after pass 1 ended at once and the event was reset: nothing
    // is left to cut the next wait short.
    EXPECT_FALSE(gate.wakeSetAtStartOf(2));
    EXPECT_FALSE(wakeEvent.isSet());
}

TEST_F(Supervisor, CloseIsSeenAtTheEndOfTheCurrentPass) {
    refreshPeriod.store(600'000);
    gate.holdAt(1);
    startSupervisor(window);
    ASSERT_TRUE(gate.waitForPass(1));
    closeRequested.store(1);
    wakeEvent.set();  // ends the wait that follows this pass
    gate.release();
    joinSupervisor();
    EXPECT_EQ(gate.passes(), 1u);
    platform::pumpMessages();
    EXPECT_EQ(commands, std::vector<int>{kCommandSupervisorEnded});
}

TEST_F(Supervisor, ReadyShowsTheServerState) {
    statusHold.store(20);
    serverActivity.store(kTimeServerRunning | kSntpServerRunning);
    supervisorPass(window);
    EXPECT_EQ(platform::getDlgItemText(window, kIdStatusLine), "Ready (TIME and SNTP Server Active)");
    EXPECT_EQ(statusHold.load(), 19u);
    serverActivity.store(0);
}

TEST_F(Supervisor, IdlePassesDrawTheLocalClockOnlyWhileShown) {
    supervisorPass(window);
    EXPECT_NE(platform::getDlgItemText(window, kIdLocalClock).find("\r\n"), std::string::npos);
    platform::setDlgItemText(window, kIdLocalClock, "");
    windowState.store(kWindowInTray);
    supervisorPass(window);
    EXPECT_EQ(platform::getDlgItemText(window, kIdLocalClock), "");
}

TEST_F(Supervisor, ServerClockAdvancesWithTheTickCount) {
    static uint64_t tick = 1000;
    platform::setTickSource([] { return tick; });
    const platform::FileTime start = test::fileTimeOf(2009, 6, 1, 12, 0, 0);
    settings.serverClock.store(start);
    serverClockTick.store(1000);
    serverClockRunning.store(1);
    tick = 3500;
    supervisorPass(window);
    EXPECT_EQ(settings.serverClock.load(), start + 2500 * 10000);
    EXPECT_TRUE(platform::getDlgItemText(window, kIdServerClock).starts_with("12:00:02\r\n"));
    serverClockRunning.store(0);
}

TEST_F(Supervisor, ServiceStopLogsAndClearsTheRequest) {
    serviceMode.store(1);
    startSupervisor(platform::kNoWindow);
    ASSERT_TRUE(gate.waitForPass(1));
    closeRequested.store(1);
    wakeEvent.set();
    joinSupervisor();
    EXPECT_EQ(closeRequested.load(), 0);
    EXPECT_NE(test::readFile(dir.file("dLog.txt")).find(" : Service Stopped\r\n"), std::string::npos);
    platform::pumpMessages();
    EXPECT_TRUE(commands.empty());
}

}  // namespace
}  // namespace tavrel
