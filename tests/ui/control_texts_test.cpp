#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "gui/dialog.h"
#include "gui/dialog_testing.h"
#include "resources/dialogs.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "tests/support/temp_dir.h"
#include "ui/control_texts.h"
#include "ui/main_window.h"
#include "ui/options.h"

namespace tavrel {
namespace {

class ControlTexts : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetProcessState(dir.path(), dir.path());
        ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
        applyDefaults();
        gui::testing::resetDialogManager();
    }
    void TearDown() override { gui::testing::resetDialogManager(); }
    test::TempDir dir;
};

TEST_F(ControlTexts, MainWindowTextsAndTooltipsComeFromTheStringTable) {
    const gui::WindowHandle window = gui::createDialog(kMainDialog, nullptr);
    applyTemplateTexts(window);
    EXPECT_EQ(gui::getDlgItemText(window, kIdTimeZoneButton), "Time Zone");
    EXPECT_EQ(gui::getDlgItemText(window, kIdServerClock), "Not Checked Yet");
    EXPECT_EQ(gui::controlTooltip(window, kIdOptionsButton),
              "Change the way Tavrel works, including protocols and servers");
    EXPECT_EQ(gui::controlTooltip(window, kIdCheckButton), "Check the time but don't change it");
}

// Every box of the Options sheet carries the label and the tooltip of the
// setting it drives: a label or tooltip swapped between two boxes fails.
TEST_F(ControlTexts, EveryOptionBoxIsLabelledForTheSettingItDrives) {
    WindowProgram program;
    const auto readAutoPage = [&program](gui::WindowHandle page) { program.options.readAutoPage(page); };
    const auto readMiscPage = [&program](gui::WindowHandle page) { program.options.readMiscPage(page); };
    struct Box {
        const gui::DialogTemplate* page;
        std::function<void(gui::WindowHandle)> readBack;
        int id;
        const char* label;
        const char* tooltip;
        std::function<bool()> setting;
    };
    const Box boxes[] = {
        {&kServersPage, readServersPage, kIdDefaultOnly, "Default server only",
         "Don't automatically switch servers on failure", [] { return settings.defaultServerOnly.load(); }},
        {&kAutoPage, readAutoPage, kIdAutoSyncOn, "AutoSync every ", "Makes Tavrel periodically set the time",
         [] { return settings.autoSyncEnabled.load(); }},
        {&kAutoPage, readAutoPage, kIdAutoCheckOn, "AutoCheck every ", "Makes Tavrel periodically check the time",
         [] { return settings.autoCheckEnabled.load(); }},
        {&kSystemPage, readSystemPage, kIdDateRangeOn, "Enable",
         "If enabled Tavrel will only accept server replies in the set time range",
         [] { return settings.dateRangeEnabled.load(); }},
        {&kSystemPage, readSystemPage, kIdDateAutoReset, "Auto Reset",
         "Automatically adjust the date range if it is similar to the last one",
         [] { return settings.dateRangeAutoReset.load(); }},
        {&kMiscPage, readMiscPage, kIdNoLog, "No Log", "Disable all logging", [] { return settings.logDisabled.load(); }},
        {&kMiscPage, readMiscPage, kIdLogSyncs, "Syncs", "Log whenever the time is corrected",
         [] { return settings.logSyncs.load(); }},
        {&kMiscPage, readMiscPage, kIdLogChecks, "Checks", "Log whenever a server time is checked",
         [] { return settings.logChecks.load(); }},
        {&kMiscPage, readMiscPage, kIdLogErrors, "Errors", "Log whenever there is an error checking the time",
         [] { return settings.logErrors.load(); }},
        {&kMiscPage, readMiscPage, kIdLogServer, "Server", "Log whenever the internal time server is used",
         [] { return settings.logServer.load(); }},
        {&kMiscPage, readMiscPage, kIdLogOld, "Old", "When logging, include what the time was prior to correction",
         [] { return settings.logOldTime.load(); }},
        {&kMiscPage, readMiscPage, kIdLogResponse, "Response", "When logging, include how long the sync took",
         [] { return settings.logResponse.load(); }},
        {&kMiscPage, readMiscPage, kIdLogCorrection, "Correction",
         "When logging, include how much the time was corrected by", [] { return settings.logCorrection.load(); }},
        {&kMiscPage, readMiscPage, kIdMinor, "Minor", "Only change minutes and seconds",
         [] { return settings.minorOnly.load(); }},
        {&kMiscPage, readMiscPage, kIdTray, "Tray", "Minimise to tray instead of the taskbar",
         [] { return settings.trayEnabled.load(); }},
        {&kMiscPage, readMiscPage, kIdResident, "Resident",
         "Keep Tavrel running until closed from Tray menu (Only valid when Tray enabled)",
         [] { return settings.residentEnabled.load(); }},
        {&kMiscPage, readMiscPage, kIdMinimise, "Minimise", "Start Minimised",
         [] { return settings.startMinimised.load(); }},
        {&kMiscPage, readMiscPage, kIdOnTop, "On Top", "Make Tavrel stay above other windows",
         [] { return settings.onTop.load(); }},
        {&kMiscPage, readMiscPage, kIdAverage, "Average", "Check multiple sites to cancel out errors",
         [] { return settings.averageEnabled.load(); }},
    };
    for (const Box& box : boxes) {
        const gui::WindowHandle page = gui::createDialog(*box.page, nullptr);
        fillOptionPage(page);
        EXPECT_EQ(gui::getDlgItemText(page, box.id), box.label) << box.id;
        EXPECT_EQ(gui::controlTooltip(page, box.id), box.tooltip) << box.id;
        for (const bool ticked : {true, false}) {
            gui::checkDlgButton(page, box.id, ticked);
            box.readBack(page);
            EXPECT_EQ(box.setting(), ticked) << box.label;
        }
        gui::destroyWindow(page);
    }
}

}  // namespace
}  // namespace tavrel
