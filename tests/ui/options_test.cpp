#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "app/service.h"
#include "engine/clock_privilege.h"
#include "gui/dialog.h"
#include "gui/dialog_testing.h"
#include "platform/process.h"
#include "resources/dialogs.h"
#include "servers/server_list.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "tests/support/environment.h"
#include "tests/support/modal_helper.h"
#include "tests/support/recording_backend.h"
#include "tests/support/temp_dir.h"
#include "ui/main_window.h"
#include "ui/options.h"

namespace tavrel {
namespace {

class OptionPages : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetProcessState(dir.path(), dir.path());
        ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
        applyDefaults();
        test::writeFile(dir.file(kServerFileName), "one.example\r\ntwo.example\r\n");
        clockPrivilegeHeld.store(1);
        gui::testing::resetDialogManager();
        program = std::make_unique<WindowProgram>();
    }
    void TearDown() override {
        program.reset();
        gui::testing::resetDialogManager();
    }
    bool click(gui::WindowHandle page, int id) { return program->options.click(page, id); }
    gui::WindowHandle page(const gui::DialogTemplate& dialog) {
        const gui::WindowHandle p = gui::createDialog(dialog, nullptr);
        fillOptionPage(p);
        return p;
    }
    test::TempDir dir;
    std::unique_ptr<WindowProgram> program;
};

TEST_F(OptionPages, ServersPageShowsTheListAndTheSource) {
    const gui::WindowHandle p = page(kServersPage);
    EXPECT_EQ(gui::comboCount(p, kIdServerCombo), 2);
    EXPECT_EQ(gui::getDlgItemText(p, kIdServerCombo), "one.example");
    EXPECT_TRUE(gui::isDlgButtonChecked(p, kIdUseList));
    EXPECT_EQ(gui::getDlgItemText(p, kIdProtocol), "Auto");
    EXPECT_EQ(gui::getDlgItemText(p, kIdEditList), "Edit List");
    EXPECT_EQ(gui::controlTooltip(p, kIdScan), "Check response time of all servers in list");
    EXPECT_FALSE(gui::isDlgItemEnabled(p, kIdManualA));
    // Manual A: only its address field, none of the list's controls.
    gui::checkDlgButton(p, kIdUseList, false);
    gui::checkDlgButton(p, kIdUseManualA, true);
    ASSERT_TRUE(click(p, kIdUseManualA));
    EXPECT_EQ(settings.serverSource.load(), ServerSource::ManualA);
    EXPECT_TRUE(gui::isDlgItemEnabled(p, kIdManualA));
    EXPECT_FALSE(gui::isDlgItemEnabled(p, kIdManualB));
    for (int id : {kIdDefaultOnly, kIdEditList, kIdRefreshList, kIdScan, kIdServerCombo}) EXPECT_FALSE(gui::isDlgItemEnabled(p, id)) << id;
}

TEST_F(OptionPages, EmptyListMovesToManualA) {
    test::writeFile(dir.file(kServerFileName), "#nothing\r\n");
    const gui::WindowHandle p = page(kServersPage);
    EXPECT_EQ(settings.serverSource.load(), ServerSource::ManualA);
    EXPECT_TRUE(gui::isDlgButtonChecked(p, kIdUseManualA));
    EXPECT_EQ(serverListEmpty.load(), 1);
}

// A greyed count field, which the user cannot correct, is still read back
// within its setting's range (a value from the file may lie outside).
TEST_F(OptionPages, GreyedCountsAreClampedOnReadBack) {
    const gui::WindowHandle autoPage = page(kAutoPage);
    gui::setDlgItemText(autoPage, kIdAutoSyncCount, "0");
    gui::setDlgItemText(autoPage, kIdAutoCheckCount, "150");
    program->options.readAutoPage(autoPage);
    EXPECT_EQ(settings.autoSyncCount.load(), 1u);
    EXPECT_EQ(settings.autoCheckCount.load(), 99u);
}

TEST_F(OptionPages, DatePickersKeepTheirTimeOfDay) {
    const platform::FileTime low = settings.dateRangeLow.load();
    const gui::WindowHandle system = page(kSystemPage);
    readSystemPage(system);
    EXPECT_EQ(settings.dateRangeLow.load() / 10'000, low / 10'000);
}

TEST_F(OptionPages, NoLogGreysTheSevenBoxesButKeepsTheirChecks) {
    const gui::WindowHandle misc = page(kMiscPage);
    gui::checkDlgButton(misc, kIdNoLog, true);
    ASSERT_TRUE(click(misc, kIdNoLog));
    for (int id : {kIdLogSyncs, kIdLogErrors, kIdLogServer, kIdLogChecks, kIdLogCorrection, kIdLogResponse, kIdLogOld}) EXPECT_FALSE(gui::isDlgItemEnabled(misc, id)) << id;
    EXPECT_TRUE(gui::isDlgButtonChecked(misc, kIdLogSyncs));
    EXPECT_TRUE(settings.logDisabled.load());
    EXPECT_TRUE(settings.logSyncs.load());
}

// "Slew small corrections" lives in bytes a settings file written before it
// left zero: such a file slews; the choice is saved and read back.
TEST_F(OptionPages, SlewSmallCorrectionsIsOnForAnOlderFileAndKeptAcrossSaving) {
    std::string older = "SYNC1400" + std::string(kSettingsRecordSize, '\0');
    test::writeFile(dir.file("vIvod.dat"), older);
    loadSettings();
    gui::WindowHandle misc = page(kMiscPage);
    EXPECT_EQ(gui::getDlgItemText(misc, kIdSlew), "Slew small corrections");
    EXPECT_TRUE(gui::isDlgButtonChecked(misc, kIdSlew));
    gui::checkDlgButton(misc, kIdSlew, false);
    program->options.readMiscPage(misc);
    ASSERT_TRUE(saveSettings());
    EXPECT_EQ(test::readFile(dir.file("vIvod.dat"))[8 + 12], 1);
    applyDefaults();
    EXPECT_FALSE(settings.slewDisabled.load());
    loadSettings();
    EXPECT_TRUE(settings.slewDisabled.load());
    misc = page(kMiscPage);
    EXPECT_FALSE(gui::isDlgButtonChecked(misc, kIdSlew));
}

// "Use authenticated servers only" has something to keep to only while the
// list is in use and holds an nts:// entry; a Refresh after an edit of the
// list tells. A settings file written before it existed reads as off; the
// choice is saved and read back.
TEST_F(OptionPages, AuthenticatedOnlyFollowsTheListAndIsKeptAcrossSaving) {
    std::string older = "SYNC1400" + std::string(kSettingsRecordSize, '\0');
    test::writeFile(dir.file("vIvod.dat"), older);
    loadSettings();
    EXPECT_FALSE(settings.authenticatedOnly.load());
    gui::WindowHandle servers = page(kServersPage);
    EXPECT_EQ(gui::getDlgItemText(servers, kIdAuthenticatedOnly), "Use authenticated servers only");
    EXPECT_FALSE(gui::isDlgButtonChecked(servers, kIdAuthenticatedOnly));
    EXPECT_FALSE(gui::isDlgItemEnabled(servers, kIdAuthenticatedOnly));

    test::writeFile(dir.file(kServerFileName), "one.example\r\nNTS://two.example\r\n");
    ASSERT_TRUE(click(servers, kIdRefreshList));
    EXPECT_TRUE(gui::isDlgItemEnabled(servers, kIdAuthenticatedOnly));
    gui::checkDlgButton(servers, kIdAuthenticatedOnly, true);
    // Manual A is an address the user picked: the choice does not apply.
    gui::checkDlgButton(servers, kIdUseList, false);
    gui::checkDlgButton(servers, kIdUseManualA, true);
    ASSERT_TRUE(click(servers, kIdUseManualA));
    EXPECT_FALSE(gui::isDlgItemEnabled(servers, kIdAuthenticatedOnly));
    gui::checkDlgButton(servers, kIdUseManualA, false);
    gui::checkDlgButton(servers, kIdUseList, true);
    ASSERT_TRUE(click(servers, kIdUseList));
    EXPECT_TRUE(gui::isDlgItemEnabled(servers, kIdAuthenticatedOnly));

    readServersPage(servers);
    ASSERT_TRUE(saveSettings());
    EXPECT_EQ(test::readFile(dir.file("vIvod.dat"))[8 + 20], 1);
    applyDefaults();
    EXPECT_FALSE(settings.authenticatedOnly.load());
    loadSettings();
    EXPECT_TRUE(settings.authenticatedOnly.load());
    servers = page(kServersPage);
    EXPECT_TRUE(gui::isDlgButtonChecked(servers, kIdAuthenticatedOnly));
}

TEST_F(OptionPages, ResidentIsGreyedWhileTrayIsOff) {
    const gui::WindowHandle misc = page(kMiscPage);
    gui::checkDlgButton(misc, kIdTray, false);
    ASSERT_TRUE(click(misc, kIdTray));
    EXPECT_FALSE(gui::isDlgItemEnabled(misc, kIdResident));
}

TEST_F(OptionPages, ServiceButtonsFollowTheServiceState) {
    serviceInstalled.store(1);
    serviceRunning.store(1);
    const gui::WindowHandle system = page(kSystemPage);
    EXPECT_EQ(gui::getDlgItemText(system, kIdServiceInstall), "Remove");
    EXPECT_EQ(gui::getDlgItemText(system, kIdServiceRun), "Stop");
    serviceInstalled.store(0);
    serviceRunning.store(0);
    clockPrivilegeHeld.store(0);
    applyEnableRules(system);
    EXPECT_EQ(gui::getDlgItemText(system, kIdServiceInstall), "Install");
    EXPECT_EQ(gui::getDlgItemText(system, kIdServiceRun), "Run");
    EXPECT_FALSE(gui::isDlgItemEnabled(system, kIdServiceRun));
    EXPECT_TRUE(gui::buttonShield(system, kIdServiceInstall));
    EXPECT_EQ(gui::controlTooltip(system, kIdServiceInstall),
              "Runs Tavrel as an administrator so Service settings can be changed");
}

TEST_F(OptionPages, ResetAnsweredYesRestoresDefaultsAndTheStringsFile) {
    test::writeFile(dir.file(kStringsFileName), "edited\r\n");
    settings.protocol.store(Protocol::Time);
    const gui::WindowHandle misc = page(kMiscPage);
    std::string question;
    std::thread answer = test::answerModal(
        "Tavrel 1.5", [&](gui::WindowHandle box) { question = gui::getDlgItemText(box, kIdQuestionText); },
        kIdQuestionYes);
    ASSERT_TRUE(click(misc, kIdResetDefaults));
    answer.join();
    EXPECT_EQ(question, "Reset to default all settings?");
    EXPECT_EQ(settings.protocol.load(), Protocol::Auto);
    EXPECT_EQ(test::readFile(dir.file(kStringsFileName)), defaultStringsFile());
}

TEST_F(OptionPages, ResetAnsweredNoChangesNothing) {
    settings.protocol.store(Protocol::Time);
    const gui::WindowHandle misc = page(kMiscPage);
    std::thread answer = test::answerModal("Tavrel 1.5", nullptr, kIdQuestionNo);
    ASSERT_TRUE(click(misc, kIdResetDefaults));
    answer.join();
    EXPECT_EQ(settings.protocol.load(), Protocol::Time);
}

// View Log before anything was logged names the log and says why it is
// missing, and starts no pager: one handed the missing file ends with a
// failure of its own (less with 1), whose word the window's redraw wipes.
TEST_F(OptionPages, ViewLogBeforeAnythingWasLoggedSaysSoAndStartsNoPager) {
    test::ScopedEnv noDisplay("DISPLAY", nullptr);
    test::ScopedEnv noWayland("WAYLAND_DISPLAY", nullptr);
    test::ScopedEnv pager("PAGER", "less");
    test::RecordingBackend recorder;
    recorder.setTerminalStatus(1);
    const gui::WindowHandle misc = page(kMiscPage);
    ASSERT_TRUE(click(misc, kIdViewLog));
    EXPECT_EQ(recorder.messageBoxes(),
              std::vector<std::string>{std::string(platform::kProgramCaption) + ": " + dir.file(kLogFileName) +
                                       " does not exist. Nothing has been logged yet."});
    EXPECT_EQ(recorder.terminalRuns(), std::vector<std::string>{});
}

// The driver's side of a running sheet (another thread): the sheet, and the
// page showing the control.
gui::WindowHandle runningSheet() {
    for (int i = 0; i < 30000; ++i) {
        for (const gui::WindowView& w : gui::snapshotWindows()) {
            if (w.caption == "Tavrel 1.5" && w.modal) return w.handle;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return gui::kNoWindow;
}
gui::WindowHandle pageShowing(int controlId) {
    for (int i = 0; i < 30000; ++i) {
        for (const gui::WindowView& w : gui::snapshotWindows()) {
            if (w.embeddedIn == gui::kNoWindow || w.show != gui::ShowCommand::Normal) continue;
            for (const gui::ControlView& c : w.controls) {
                if (c.layout.id == controlId) return w.handle;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return gui::kNoWindow;
}

TEST_F(OptionPages, SheetSavesOnCancelButOnlyPagesAlreadyLeft) {
    const gui::WindowHandle main = gui::createDialog(kMainDialog, nullptr);
    std::thread driver([] {
        const gui::WindowHandle sheet = runningSheet();
        const gui::WindowHandle servers = pageShowing(kIdProtocol);
        gui::comboSetSelection(servers, kIdProtocol, 0);  // TIME
        gui::postCommand(sheet, gui::kSheetTabBase + 3);  // the Misc tab: Servers is read back
        const gui::WindowHandle misc = pageShowing(kIdOnTop);
        gui::checkDlgButton(misc, kIdOnTop, true);  // On Top, then Cancel
        gui::postCommand(sheet, gui::kIdCancel);
    });
    program->options.open(main);
    driver.join();
    EXPECT_EQ(settings.protocol.load(), Protocol::Time);
    EXPECT_FALSE(settings.onTop.load());
    const std::string saved = test::readFile(dir.file("vIvod.dat"));
    ASSERT_EQ(saved.size(), 508u);
    EXPECT_EQ(saved[8 + 116], 0);
    EXPECT_FALSE(program->options.isOpen());
}

// The scan belongs to the sheet: closing the sheet closes the scan's window
// and lets operations run again. (A list without entries keeps the scan off
// the network.)
// What the user typed is taken as typed or not at all: an address of fewer
// than four numbers, or a number outside its setting's range, keeps the
// sheet on its page with a message, and nothing of the page is saved until
// it is corrected.
TEST_F(OptionPages, ABadAddressOrNumberKeepsThePageWithAMessage) {
    test::RecordingBackend recorder;
    const gui::WindowHandle main = gui::createDialog(kMainDialog, nullptr);
    const std::string before = manualAddressA();
    std::atomic<bool> stayed{false};
    std::thread driver([&] {
        const gui::WindowHandle sheet = runningSheet();
        const gui::WindowHandle servers = pageShowing(kIdManualA);
        gui::checkDlgButton(servers, kIdUseList, false);
        gui::checkDlgButton(servers, kIdUseManualA, true);
        gui::postCommand(servers, kIdUseManualA);
        gui::setDlgItemText(servers, kIdManualA, "1.2.3");
        gui::postCommand(sheet, gui::kSheetTabBase + 2);  // the System tab: refused
        gui::postCommand(sheet, gui::kIdOk);              // and OK too
        for (int i = 0; i < 30000 && recorder.messageBoxes().size() < 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        stayed = pageShowing(kIdManualA) == servers && gui::windowExists(sheet);
        gui::setDlgItemText(servers, kIdManualA, "127.1.2.3");
        gui::postCommand(sheet, gui::kSheetTabBase + 2);
        const gui::WindowHandle system = pageShowing(kIdSyncTimeout);
        gui::setDlgItemText(system, kIdSyncTimeout, "41234");
        gui::postCommand(sheet, gui::kIdOk);
        for (int i = 0; i < 30000 && recorder.messageBoxes().size() < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        gui::setDlgItemText(system, kIdSyncTimeout, "30");
        gui::postCommand(sheet, gui::kIdOk);
    });
    program->options.open(main);
    driver.join();
    EXPECT_TRUE(stayed);
    const std::vector<std::string> boxes = recorder.messageBoxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_NE(boxes[0].find("1.2.3 is not a valid address"), std::string::npos) << boxes[0];
    EXPECT_NE(boxes[2].find("41234 is not a valid entry. Please specify a value between 5 and 99."),
              std::string::npos)
        << boxes[2];
    EXPECT_NE(before, "127.1.2.3");
    EXPECT_EQ(manualAddressA(), "127.1.2.3");
    EXPECT_EQ(settings.serverSource.load(), ServerSource::ManualA);
    EXPECT_EQ(settings.syncTimeout.load(), std::chrono::seconds(30));
}

TEST_F(OptionPages, TheScanEndsWithTheSheet) {
    test::writeFile(dir.file(kServerFileName), "#nothing to measure\r\n");
    const gui::WindowHandle main = gui::createDialog(kMainDialog, nullptr);
    bool scanShown = false;
    std::thread driver([&scanShown] {
        const gui::WindowHandle sheet = runningSheet();
        gui::postCommand(pageShowing(kIdScan), kIdScan);
        for (int i = 0; i < 30000 && !scanShown; ++i) {
            for (const gui::WindowView& w : gui::snapshotWindows()) {
                scanShown = scanShown || w.caption == "Scan Servers - Finished";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        gui::postCommand(sheet, gui::kIdCancel);
    });
    program->options.open(main);
    driver.join();
    EXPECT_TRUE(scanShown);
    EXPECT_EQ(program->options.scan().window(), gui::kNoWindow);
    EXPECT_FALSE(program->engine.scanActive());
}

}  // namespace
}  // namespace tavrel
