#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "app/service.h"
#include "engine/clock_privilege.h"
#include "gui/dialog.h"
#include "gui/dialog_testing.h"
#include "resources/dialogs.h"
#include "servers/server_list.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "tests/support/modal_helper.h"
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
        serviceInstalled.store(0);
        serviceRunning.store(0);
        clockPrivilegeHeld.store(1);
        gui::testing::resetDialogManager();
    }
    void TearDown() override { gui::testing::resetDialogManager(); }
    gui::WindowHandle page(const gui::DialogTemplate& dialog) {
        const gui::WindowHandle p = gui::createDialog(dialog, nullptr);
        fillOptionPage(p);
        return p;
    }
    test::TempDir dir;
};

TEST_F(OptionPages, ServersPageShowsTheListAndTheSource) {
    const gui::WindowHandle p = page(kServersPage);
    EXPECT_EQ(gui::comboCount(p, 1034), 2);
    EXPECT_EQ(gui::getDlgItemText(p, 1034), "one.example");
    EXPECT_TRUE(gui::isDlgButtonChecked(p, 1035));
    EXPECT_EQ(gui::getDlgItemText(p, 1013), "Auto");
    EXPECT_EQ(gui::getDlgItemText(p, 1022), "Edit List");
    EXPECT_EQ(gui::controlTooltip(p, 1028), "Check response time of all servers in list");
    EXPECT_FALSE(gui::isDlgItemEnabled(p, 1007));
    // Manual A: only its address field, none of the list's controls.
    gui::checkDlgButton(p, 1035, false);
    gui::checkDlgButton(p, 1036, true);
    ASSERT_TRUE(optionClick(p, 1036));
    EXPECT_EQ(settings.serverSource.load(), 1);
    EXPECT_TRUE(gui::isDlgItemEnabled(p, 1007));
    EXPECT_FALSE(gui::isDlgItemEnabled(p, 1008));
    for (int id : {1004, 1022, 1027, 1028, 1034}) EXPECT_FALSE(gui::isDlgItemEnabled(p, id)) << id;
}

TEST_F(OptionPages, EmptyListMovesToManualA) {
    test::writeFile(dir.file(kServerFileName), "#nothing\r\n");
    const gui::WindowHandle p = page(kServersPage);
    EXPECT_EQ(settings.serverSource.load(), 1);
    EXPECT_TRUE(gui::isDlgButtonChecked(p, 1036));
    EXPECT_EQ(serverListEmpty.load(), 1);
}

TEST_F(OptionPages, CountsAreClampedOnReadBack) {
    const gui::WindowHandle autoPage = page(kAutoPage);
    gui::setDlgItemText(autoPage, 1018, "0");
    gui::setDlgItemText(autoPage, 1033, "150");
    readAutoPage(autoPage);
    EXPECT_EQ(settings.autoSyncCount.load(), 1u);
    EXPECT_EQ(settings.autoCheckCount.load(), 99u);
    gui::setDlgItemText(autoPage, 1018, "");
    readAutoPage(autoPage);
    EXPECT_EQ(settings.autoSyncCount.load(), 1u);

    const gui::WindowHandle system = page(kSystemPage);
    gui::setDlgItemText(system, 1102, "2");
    gui::setDlgItemText(system, 1003, "-5");
    readSystemPage(system);
    EXPECT_EQ(settings.syncTimeout.load(), 5u);
    EXPECT_EQ(settings.offsetAmount.load(), 99u);
    gui::setDlgItemText(system, 1003, "");
    readSystemPage(system);
    EXPECT_EQ(settings.offsetAmount.load(), 0u);
}

TEST_F(OptionPages, DatePickersKeepTheirTimeOfDay) {
    const platform::FileTime low = settings.dateRangeLow.load();
    const gui::WindowHandle system = page(kSystemPage);
    readSystemPage(system);
    EXPECT_EQ(settings.dateRangeLow.load() / 10'000, low / 10'000);
}

TEST_F(OptionPages, NoLogGreysTheSevenBoxesButKeepsTheirChecks) {
    const gui::WindowHandle misc = page(kMiscPage);
    gui::checkDlgButton(misc, 1001, true);
    ASSERT_TRUE(optionClick(misc, 1001));
    for (int id : {1043, 1044, 1045, 1046, 1047, 1048, 1049}) EXPECT_FALSE(gui::isDlgItemEnabled(misc, id)) << id;
    EXPECT_TRUE(gui::isDlgButtonChecked(misc, 1043));
    EXPECT_EQ(settings.logDisabled.load(), 1);
    EXPECT_EQ(settings.logSyncs.load(), 1);
}

TEST_F(OptionPages, ResidentIsGreyedWhileTrayIsOff) {
    const gui::WindowHandle misc = page(kMiscPage);
    gui::checkDlgButton(misc, 1019, false);
    ASSERT_TRUE(optionClick(misc, 1019));
    EXPECT_FALSE(gui::isDlgItemEnabled(misc, 1026));
}

TEST_F(OptionPages, ServiceButtonsFollowTheServiceState) {
    serviceInstalled.store(1);
    serviceRunning.store(1);
    const gui::WindowHandle system = page(kSystemPage);
    EXPECT_EQ(gui::getDlgItemText(system, 1051), "Remove");
    EXPECT_EQ(gui::getDlgItemText(system, 1052), "Stop");
    serviceInstalled.store(0);
    serviceRunning.store(0);
    clockPrivilegeHeld.store(0);
    applyEnableRules(system);
    EXPECT_EQ(gui::getDlgItemText(system, 1051), "Install");
    EXPECT_EQ(gui::getDlgItemText(system, 1052), "Run");
    EXPECT_FALSE(gui::isDlgItemEnabled(system, 1052));
    EXPECT_TRUE(gui::buttonShield(system, 1051));
    EXPECT_EQ(gui::controlTooltip(system, 1051),
              "Runs Tavrel as an administrator so Service settings can be changed");
}

TEST_F(OptionPages, ResetAnsweredYesRestoresDefaultsAndTheStringsFile) {
    test::writeFile(dir.file(kStringsFileName), "edited\r\n");
    settings.protocol.store(0);
    const gui::WindowHandle misc = page(kMiscPage);
    std::string question;
    std::thread answer = test::answerModal(
        "Tavrel 1.5", [&](gui::WindowHandle box) { question = gui::getDlgItemText(box, kIdQuestionText); },
        kIdQuestionYes);
    ASSERT_TRUE(optionClick(misc, 7));
    answer.join();
    EXPECT_EQ(question, "Reset to default all settings?");
    EXPECT_EQ(settings.protocol.load(), 2);
    EXPECT_EQ(test::readFile(dir.file(kStringsFileName)), defaultStringsFile());
}

TEST_F(OptionPages, ResetAnsweredNoChangesNothing) {
    settings.protocol.store(0);
    const gui::WindowHandle misc = page(kMiscPage);
    std::thread answer = test::answerModal("Tavrel 1.5", nullptr, kIdQuestionNo);
    ASSERT_TRUE(optionClick(misc, 7));
    answer.join();
    EXPECT_EQ(settings.protocol.load(), 0);
}

TEST_F(OptionPages, SheetSavesOnCancelButOnlyPagesAlreadyLeft) {
    const gui::WindowHandle main = gui::createDialog(kMainDialog, nullptr);
    std::thread driver([] {
        // Wait for the sheet and its first page.
        gui::WindowHandle sheet = gui::kNoWindow;
        for (int i = 0; i < 30000 && sheet == gui::kNoWindow; ++i) {
            for (const gui::WindowView& w : gui::snapshotWindows()) {
                if (w.caption == "Tavrel 1.5" && w.modal) sheet = w.handle;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        auto pageShowing = [](int controlId) {
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
        };
        const gui::WindowHandle servers = pageShowing(1013);
        gui::comboSetSelection(servers, 1013, 0);  // TIME
        gui::postCommand(sheet, 9003);             // the Misc tab: Servers is read back
        const gui::WindowHandle misc = pageShowing(1015);
        gui::checkDlgButton(misc, 1015, true);  // On Top, then Cancel
        gui::postCommand(sheet, 2);
    });
    WindowProgram program;
    openOptions(program, main);
    driver.join();
    EXPECT_EQ(settings.protocol.load(), 0);
    EXPECT_EQ(settings.onTop.load(), 0);
    const std::string saved = test::readFile(dir.file("vIvod.dat"));
    ASSERT_EQ(saved.size(), 508u);
    EXPECT_EQ(saved[8 + 116], 0);
    EXPECT_EQ(optionsOpen.load(), 0);
}

}  // namespace
}  // namespace tavrel
