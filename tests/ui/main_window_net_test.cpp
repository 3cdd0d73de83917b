#include <gtest/gtest.h>

#include "app/startup.h"
#include "engine/auto_timer.h"
#include "engine/clock_privilege.h"
#include "engine/operation.h"
#include "engine/supervisor.h"
#include "engine/time_query.h"
#include "platform/dialog.h"
#include "platform/dialog_testing.h"
#include "resources/dialogs.h"
#include "servers/server_list.h"
#include "storage/settings.h"
#include "tests/support/fake_time_servers.h"
#include "tests/support/window_fixture.h"
#include "ui/main_window.h"
#include "ui/main_window_display.h"
#include "tests/support/environment.h"

namespace tavrel {
namespace {

using platform::MessageKind;
using platform::WindowMessage;
using test::FakeSntpServer;
using test::FakeTimeServer;
using test::Reply;

class MainWindow : public test::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        settings.dateRangeEnabled.store(0);
        settings.protocol.store(1);
        test::writeFile(dir.file(kServerFileName), "127.0.0.1\r\n");
        clockPrivilegeHeld.store(1);
        window = platform::createDialog(kMainDialog, mainWindowProcedure);
        platform::killTimer(window, kDeferredInitTimerId);
    }
    void TearDown() override {
        joinSupervisor();
        WindowTest::TearDown();
    }
    void command(int id) { platform::testing::sendMessage(window, WindowMessage{MessageKind::Command, id}); }
    void send(MessageKind kind, int id = 0, int64_t param = 0) {
        platform::testing::sendMessage(window, WindowMessage{kind, id, param});
    }
};

TEST_F(MainWindow, CheckCommandStartsACheckAndAbortsWhileBusy) {
    FakeSntpServer server(Reply::Silent);
    command(kCommandCheck);
    EXPECT_EQ(syncState.load() != kSyncIdle, true);
    EXPECT_EQ(correctMode.load(), 0);
    EXPECT_EQ(platform::getDlgItemText(window, kIdCheckButton), "Abort");
    ASSERT_TRUE(runPassesUntil([&] { return status().starts_with("Waiting for reply from"); }));
    command(kCommandCheck);
    EXPECT_EQ(status(), "Aborting...");
    EXPECT_EQ(syncState.load(), kSyncIdle);
    EXPECT_EQ(queryThread.load(), 0u);
    EXPECT_EQ(statusHold.load(), 20u);
    EXPECT_TRUE(wakeEvent.isSet());
}

TEST_F(MainWindow, CorrectIsIgnoredWhileAQueryRuns) {
    FakeSntpServer server(Reply::Silent);
    settings.timeServerEnabled.store(1);  // the idle look: Correct stays enabled
    command(kCommandCheck);
    ASSERT_TRUE(runPassesUntil([] { return queryStep.load() >= 4; }));
    command(kCommandCorrect);
    EXPECT_EQ(correctMode.load(), 0);
    EXPECT_EQ(platform::getDlgItemText(window, kIdCheckButton), "Check");
    command(kCommandCheck);  // still aborts
    EXPECT_EQ(syncState.load(), kSyncIdle);
}

TEST_F(MainWindow, CorrectWithoutTheClockRightAsksForARestart) {
    clockPrivilegeHeld.store(0);
    test::setEnv("TAVREL_ELEVATOR", "/nonexistent/elevator");
    command(kCommandCorrect);
    test::unsetEnv("TAVREL_ELEVATOR");
    EXPECT_TRUE(platform::windowExists(window));  // the restart could not start
    EXPECT_EQ(syncState.load(), kSyncIdle);
}

TEST_F(MainWindow, ExitSavesAndQuitsAtOnce) {
    settings.residentEnabled.store(1);
    command(kCommandExit);
    EXPECT_FALSE(platform::pumpMessages());
    const std::string saved = test::readFile(dir.file("vIvod.dat"));
    EXPECT_EQ(saved.size(), 508u);
    EXPECT_TRUE(saved.starts_with("SYNC1400"));
}

TEST_F(MainWindow, MinimiseHidesToTheTrayAndTheIconRestores) {
    settings.trayEnabled.store(1);
    platform::showWindow(window, platform::ShowCommand::Normal);
    platform::showWindow(window, platform::ShowCommand::Minimised);
    EXPECT_EQ(windowState.load(), kWindowInTray);
    EXPECT_EQ(refreshPeriod.load(), kRefreshHiddenMs);
    EXPECT_TRUE(platform::trayIconShown(window));
    EXPECT_EQ(platform::trayTip(window), "Tavrel 1.5");
    send(MessageKind::TrayCallback, 0, platform::kTrayLeftButtonDown);
    EXPECT_EQ(windowState.load(), kWindowShown);
    EXPECT_FALSE(platform::trayIconShown(window));
    EXPECT_EQ(platform::windowShowState(window), platform::ShowCommand::Normal);
    EXPECT_EQ(refreshPeriod.load(), kRefreshShownMs);
}

TEST_F(MainWindow, MinimiseWithoutTrayGoesToTheTaskbar) {
    settings.trayEnabled.store(0);
    platform::showWindow(window, platform::ShowCommand::Normal);
    platform::showWindow(window, platform::ShowCommand::Minimised);
    EXPECT_EQ(windowState.load(), kWindowMinimised);
    EXPECT_FALSE(platform::trayIconShown(window));
}

TEST_F(MainWindow, CloseBoxHidesWhenResidentElseRequestsTheEnd) {
    settings.trayEnabled.store(1);
    settings.residentEnabled.store(1);
    send(MessageKind::Close);
    EXPECT_EQ(windowState.load(), kWindowInTray);
    EXPECT_EQ(closeRequested.load(), 0);
    settings.residentEnabled.store(0);
    send(MessageKind::Close);
    EXPECT_EQ(closeRequested.load(), 1);
    EXPECT_FALSE(wakeEvent.isSet());
}

TEST_F(MainWindow, CloseWhileMinimisedWaitsForTheEndOfTheWait) {
    settings.trayEnabled.store(0);
    platform::showWindow(window, platform::ShowCommand::Normal);
    platform::showWindow(window, platform::ShowCommand::Minimised);
    ASSERT_EQ(refreshPeriod.load(), kRefreshHiddenMs);
    startSupervisor(window);
    send(MessageKind::Close);
    EXPECT_EQ(closeRequested.load(), 1);
    // Nothing wakes the supervisor: the window is still there.
    platform::pumpMessages();
    EXPECT_TRUE(platform::windowExists(window));
    // Any command wakes it, and the close takes effect at the end of that pass.
    command(kCommandResetAutoTimers);
    ASSERT_TRUE(test::waitUntil([&] {
        platform::pumpMessages();
        return !platform::windowExists(window);
    }));
    EXPECT_EQ(test::readFile(dir.file("vIvod.dat")).size(), 508u);
}

TEST_F(MainWindow, SessionEndStopsOperationsAndSaves) {
    EXPECT_EQ(platform::testing::sendMessage(window, WindowMessage{MessageKind::QueryEndSession}), 1);
    EXPECT_EQ(syncState.load(), kSyncStopRequested);
    send(MessageKind::EndSession);
    EXPECT_EQ(test::readFile(dir.file("vIvod.dat")).size(), 508u);
    EXPECT_FALSE(platform::pumpMessages());
    syncState.store(kSyncIdle);
}

TEST_F(MainWindow, ReadyComesFirstAndTheCountdownAfterTheHold) {
    settings.autoSyncEnabled.store(1);
    armAutoTimer(window);
    statusHold.store(20);
    countdownTick.store(0);
    platform::testing::clearTextHistory(window, kIdStatusLine);
    int passes = 0;
    ASSERT_TRUE(runPassesUntil([&] {
        ++passes;
        return status().ends_with(" until AutoSync");
    }, 100, 0));
    const std::vector<std::string> texts = statusTexts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts.front(), "Ready");
    EXPECT_GT(passes, 20);
    EXPECT_TRUE(texts.back().starts_with("3 Hrs 59 Mns") || texts.back().starts_with("4 Hrs")) << texts.back();
}

TEST_F(MainWindow, RestoringRedrawsTheCountdownAtOnce) {
    settings.autoSyncEnabled.store(1);
    settings.trayEnabled.store(0);
    armAutoTimer(window);
    countdownTick.store(5);
    platform::showWindow(window, platform::ShowCommand::Minimised);
    platform::showWindow(window, platform::ShowCommand::Normal);
    EXPECT_EQ(autoTimerKind.load(), kAutoSync + kRedrawMark);
    supervisorPass(window);
    EXPECT_TRUE(status().ends_with(" until AutoSync")) << status();
}

TEST_F(MainWindow, TrayMenuOffersResetOnlyWhileArmed) {
    send(MessageKind::RightButtonUp);
    settings.autoSyncEnabled.store(1);
    armAutoTimer(window);
    platform::testing::chooseFromNextMenu(kCommandExit);
    send(MessageKind::RightButtonUp);
    const std::vector<std::string> menus = platform::testing::shownMenus();
    ASSERT_EQ(menus.size(), 2u);
    EXPECT_EQ(menus[0], "About|Help|-|Sync Now|Exit");
    EXPECT_EQ(menus[1], "About|Help|-|Reset Auto Timers|Sync Now|Exit");
    // The chosen item arrives as the command.
    EXPECT_FALSE(platform::pumpMessages());
}

TEST_F(MainWindow, SuppressedTrayIconReturnsWithTheTaskbar) {
    settings.trayEnabled.store(1);
    trayIconSuppressed.store(1);
    platform::showWindow(window, platform::ShowCommand::Normal);
    platform::showWindow(window, platform::ShowCommand::Minimised);
    EXPECT_FALSE(platform::trayIconShown(window));
    send(MessageKind::TaskbarCreated);
    EXPECT_TRUE(platform::trayIconShown(window));
    trayIconSuppressed.store(0);
}

TEST_F(MainWindow, LongTipsAreCut) {
    settings.trayEnabled.store(1);
    platform::showWindow(window, platform::ShowCommand::Minimised);
    platform::trayUpdateTip(window, std::string(300, 't'));
    EXPECT_EQ(platform::trayTip(window).size(), 127u);
}

}  // namespace
}  // namespace tavrel
