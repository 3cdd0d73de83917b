#include <gtest/gtest.h>

#include "app/startup.h"
#include "engine/clock_privilege.h"
#include "gui/dialog.h"
#include "gui/dialog_testing.h"
#include "resources/dialogs.h"
#include "servers/server_list.h"
#include "storage/settings.h"
#include "tests/support/environment.h"
#include "tests/support/fake_time_servers.h"
#include "tests/support/query_fixture.h"
#include "tests/support/recording_backend.h"
#include "ui/main_window.h"
#include "ui/tray.h"

namespace tavrel {
namespace {

using gui::MessageKind;
using gui::WindowMessage;
using test::FakeSntpServer;
using test::Reply;

// Counts what the window asks of the service and the start at logon.
class CountingServices final : public ServiceControls {
public:
    void query() override {}
    std::string install() override { return std::string(); }
    void uninstall() override {}
    void start() override {}
    void stop() override {}
    void registerWindowsStart() override { ++logonStarts; }
    int logonStarts = 0;
};

class MainWindow : public test::QueryTest {
protected:
    void SetUp() override {
        QueryTest::SetUp();
        gui::testing::resetDialogManager();
        recorder = std::make_unique<test::RecordingBackend>();
        gui::testing::useManualTimers(true);
        settings.dateRangeEnabled.store(false);
        settings.protocol.store(Protocol::Sntp);
        settings.syncTimeout.store(std::chrono::seconds(5));
        test::writeFile(dir.file(kServerFileName), "127.0.0.1\r\n");
        clockPrivilegeHeld.store(1);
        program = std::make_unique<WindowProgram>(&services);
        window = createMainWindow(*program);
        gui::killTimer(window, kDeferredInitTimerId);
    }
    void TearDown() override {
        program.reset();
        gui::testing::resetDialogManager();
        recorder.reset();
        QueryTest::TearDown();
    }
    void command(int id) { gui::testing::sendMessage(window, WindowMessage{MessageKind::Command, id}); }
    void send(MessageKind kind, int id = 0, int64_t param = 0) {
        gui::testing::sendMessage(window, WindowMessage{kind, id, param});
    }
    // Supervisor passes on this thread, the window's messages between them.
    bool runPassesUntil(const std::function<bool()>& done, int maxPasses = 20000) {
        for (int i = 0; i < maxPasses; ++i) {
            if (done()) return true;
            program->engine.runPass();
            gui::pumpMessages();
            if (done()) return true;
            program->engine.wakeEvent().wait(5);
            program->engine.wakeEvent().reset();
        }
        return done();
    }
    std::string status() { return gui::getDlgItemText(window, kIdStatusLine); }
    std::string caption() { return gui::getDlgItemText(window, kIdCheckButton); }

    std::unique_ptr<test::RecordingBackend> recorder;
    CountingServices services;
    std::unique_ptr<WindowProgram> program;
    gui::WindowHandle window = gui::kNoWindow;
};

TEST_F(MainWindow, CheckCommandStartsACheckAndAbortsWhileBusy) {
    FakeSntpServer server(Reply::Silent);
    command(kCommandCheck);
    EXPECT_TRUE(program->engine.busy());
    ASSERT_TRUE(runPassesUntil([&] { return status().starts_with("Waiting for reply from"); }));
    EXPECT_EQ(caption(), "Abort");
    EXPECT_FALSE(gui::isDlgItemEnabled(window, kIdCorrectButton));
    EXPECT_EQ(gui::controlTooltip(window, kIdCheckButton), "Cancel Tavrel operation");
    command(kCommandCheck);
    EXPECT_FALSE(program->engine.busy());
    ASSERT_TRUE(runPassesUntil([&] { return status() == "Aborting..."; }));
    EXPECT_EQ(caption(), "Check");
    EXPECT_TRUE(gui::isDlgItemEnabled(window, kIdCorrectButton));
    EXPECT_EQ(gui::controlTooltip(window, kIdCheckButton), "Check the time but don't change it");
    // 20 passes later "Ready".
    ASSERT_TRUE(runPassesUntil([&] { return status() == "Ready"; }, 21));
}

TEST_F(MainWindow, CorrectIsIgnoredWhileAQueryRuns) {
    FakeSntpServer server(Reply::Silent);
    settings.timeServerEnabled.store(true);  // the idle look: Correct stays enabled
    test::setSimulatedOffsetSeconds(20);
    command(kCommandCheck);
    ASSERT_TRUE(runPassesUntil([&] { return status().starts_with("Waiting for reply from"); }));
    command(kCommandCorrect);
    EXPECT_EQ(caption(), "Check");
    command(kCommandCheck);  // still aborts
    ASSERT_TRUE(runPassesUntil([&] { return status() == "Aborting..."; }));
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 20, 1e-6);
}

TEST_F(MainWindow, CorrectWithoutTheClockRightAsksForARestart) {
    clockPrivilegeHeld.store(0);
    {
        const test::ScopedEnv elevator("TAVREL_ELEVATOR", "/nonexistent/elevator");
        command(kCommandCorrect);
    }
    EXPECT_TRUE(gui::windowExists(window));  // the restart could not start
    EXPECT_FALSE(program->engine.busy());
}

TEST_F(MainWindow, ExitSavesAndQuitsAtOnce) {
    settings.residentEnabled.store(true);
    command(kCommandExit);
    EXPECT_FALSE(gui::pumpMessages());
    const std::string saved = test::readFile(dir.file("vIvod.dat"));
    EXPECT_EQ(saved.size(), 508u);
    EXPECT_TRUE(saved.starts_with("SYNC1400"));
    // The save's last step puts the start at logon right.
    EXPECT_EQ(services.logonStarts, 1);
}

TEST_F(MainWindow, MinimiseHidesToTheTrayAndTheIconRestores) {
    settings.trayEnabled.store(true);
    gui::showWindow(window, gui::ShowCommand::Minimised);
    EXPECT_EQ(program->engine.windowState(), WindowState::InTray);
    EXPECT_EQ(program->engine.refreshPeriod(), kRefreshHiddenMs);
    EXPECT_TRUE(gui::trayIconShown(window));
    EXPECT_EQ(gui::trayTip(window), "Tavrel 1.5");
    send(MessageKind::TrayCallback, 0, gui::kTrayLeftButtonDown);
    EXPECT_EQ(program->engine.windowState(), WindowState::Shown);
    EXPECT_FALSE(gui::trayIconShown(window));
    EXPECT_EQ(gui::windowShowState(window), gui::ShowCommand::Normal);
    EXPECT_EQ(program->engine.refreshPeriod(), kRefreshShownMs);
}

TEST_F(MainWindow, MinimiseWithoutTrayGoesToTheTaskbar) {
    settings.trayEnabled.store(false);
    gui::showWindow(window, gui::ShowCommand::Minimised);
    EXPECT_EQ(program->engine.windowState(), WindowState::Minimised);
    EXPECT_FALSE(gui::trayIconShown(window));
}

TEST_F(MainWindow, CloseBoxHidesWhenResidentElseEndsTheProgram) {
    settings.trayEnabled.store(true);
    settings.residentEnabled.store(true);
    send(MessageKind::Close);
    EXPECT_EQ(program->engine.windowState(), WindowState::InTray);
    settings.residentEnabled.store(false);
    program->engine.start();
    send(MessageKind::Close);
    // Seen at the end of the supervisor's wait (30 s in the tray) or at
    // once when something wakes it.
    program->engine.wake();
    ASSERT_TRUE(test::waitUntil([&] {
        gui::pumpMessages();
        return !gui::windowExists(window);
    }));
    EXPECT_EQ(test::readFile(dir.file("vIvod.dat")).size(), 508u);
}

TEST_F(MainWindow, SessionEndStopsOperationsAndSaves) {
    EXPECT_EQ(gui::testing::sendMessage(window, WindowMessage{MessageKind::QueryEndSession}), 1);
    send(MessageKind::EndSession);
    EXPECT_EQ(test::readFile(dir.file("vIvod.dat")).size(), 508u);
    EXPECT_FALSE(gui::pumpMessages());
}

TEST_F(MainWindow, ReadyComesFirstAndTheCountdownAfterTheHold) {
    settings.autoSyncEnabled.store(true);
    program->autoTimer.arm();
    EXPECT_EQ(gui::testing::timerPeriod(window, kAutoTimerId), 4u * 3'600'000u);
    recorder->clearTexts(window, kIdStatusLine);
    int passes = 0;
    ASSERT_TRUE(runPassesUntil([&] {
        ++passes;
        return status().ends_with(" until AutoSync");
    }, 100));
    const std::vector<std::string> texts = recorder->texts(window, kIdStatusLine);
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts.front(), "Ready");
    EXPECT_GT(passes, 20);
    EXPECT_TRUE(texts.back().starts_with("3 Hrs 59 Mns") || texts.back().starts_with("4 Hrs")) << texts.back();
}

TEST_F(MainWindow, RestoringRedrawsTheCountdownAtOnce) {
    settings.autoSyncEnabled.store(true);
    settings.trayEnabled.store(false);
    program->autoTimer.arm();
    ASSERT_TRUE(runPassesUntil([&] { return status().ends_with(" until AutoSync"); }, 100));
    gui::showWindow(window, gui::ShowCommand::Minimised);
    program->engine.runPass();
    gui::setDlgItemText(window, kIdStatusLine, "");
    gui::showWindow(window, gui::ShowCommand::Normal);
    program->engine.runPass();
    gui::pumpMessages();
    EXPECT_TRUE(status().ends_with(" until AutoSync")) << status();
}

TEST_F(MainWindow, TrayMenuOffersResetOnlyWhileArmed) {
    send(MessageKind::RightButtonUp);
    settings.autoSyncEnabled.store(true);
    program->autoTimer.arm();
    recorder->chooseFromNextMenu(kCommandExit);
    send(MessageKind::RightButtonUp);
    const std::vector<std::string> menus = recorder->menus();
    ASSERT_EQ(menus.size(), 2u);
    EXPECT_EQ(menus[0], "About|Help|History|-|Sync Now|Exit");
    EXPECT_EQ(menus[1], "About|Help|History|-|Reset Auto Timers|Sync Now|Exit");
    // The chosen item arrives as the command.
    EXPECT_FALSE(gui::pumpMessages());
}

// From the tray the menu leads back to the window: Restore, first.
TEST_F(MainWindow, TheTrayMenuRestoresTheWindow) {
    settings.trayEnabled.store(true);
    settings.residentEnabled.store(true);
    send(MessageKind::Close);
    ASSERT_EQ(program->engine.windowState(), WindowState::InTray);
    recorder->chooseFromNextMenu(kCommandRestore);
    send(MessageKind::RightButtonUp);
    gui::pumpMessages();
    ASSERT_EQ(recorder->menus().size(), 1u);
    EXPECT_TRUE(recorder->menus()[0].starts_with("Restore|About|")) << recorder->menus()[0];
    EXPECT_EQ(program->engine.windowState(), WindowState::Shown);
    EXPECT_FALSE(gui::trayIconShown(window));
}

TEST_F(MainWindow, SuppressedTrayIconReturnsWithTheTaskbar) {
    settings.trayEnabled.store(true);
    program->trayIconSuppressed = true;
    gui::showWindow(window, gui::ShowCommand::Minimised);
    EXPECT_FALSE(gui::trayIconShown(window));
    send(MessageKind::TaskbarCreated);
    EXPECT_TRUE(gui::trayIconShown(window));
}

TEST_F(MainWindow, LongTipsAreCut) {
    settings.trayEnabled.store(true);
    gui::showWindow(window, gui::ShowCommand::Minimised);
    gui::trayUpdateTip(window, std::string(300, 't'));
    EXPECT_EQ(gui::trayTip(window).size(), 127u);
}

}  // namespace
}  // namespace tavrel
