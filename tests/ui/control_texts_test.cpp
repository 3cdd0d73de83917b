#include <gtest/gtest.h>

#include "gui/dialog.h"
#include "gui/dialog_testing.h"
#include "resources/dialogs.h"
#include "storage/strings.h"
#include "ui/control_texts.h"

namespace tavrel {
namespace {

class ControlTexts : public ::testing::Test {
protected:
    void SetUp() override {
        stringTable() = StringTable{};
        ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
        gui::testing::resetDialogManager();
        window = gui::createDialog(kMainDialog, nullptr);
    }
    void TearDown() override { gui::testing::resetDialogManager(); }
    gui::WindowHandle window = gui::kNoWindow;
};

TEST_F(ControlTexts, TablesHoldEveryPair) {
    EXPECT_EQ(kMainWindowTexts.size(), 7u);
    EXPECT_EQ(kMainWindowTooltips.size(), 4u);
    EXPECT_EQ(kOptionsTexts.size(), 46u);
    EXPECT_EQ(kOptionsTooltips.size(), 48u);
    EXPECT_EQ(kTimeZoneTexts.size(), 14u);
    EXPECT_EQ(kOptionsTexts.front().slot, 33);
    EXPECT_EQ(kOptionsTexts.front().controlId, 1004);
    EXPECT_EQ(kOptionsTexts.back().slot, 61);
    EXPECT_EQ(kTimeZoneTexts.back().controlId, 1);
}

TEST_F(ControlTexts, MainWindowTextsAndTooltipsComeFromTheStringTable) {
    setControlTexts(window, kMainWindowTexts);
    attachTooltips(window, kMainWindowTooltips);
    EXPECT_EQ(gui::getDlgItemText(window, kIdTimeZoneButton), "Time Zone");
    EXPECT_EQ(gui::getDlgItemText(window, kIdServerClock), "Not Checked Yet");
    EXPECT_EQ(gui::controlTooltip(window, kIdOptionsButton),
              "Change the way Tavrel works, including protocols and servers");
}

TEST_F(ControlTexts, PairsForMissingControlsAreSkipped) {
    setControlTexts(window, kOptionsTexts);  // none of these controls is on the main window...
    EXPECT_EQ(gui::getDlgItemText(window, kIdCheckButton), "Check");
    // ...except Help (6) and Reset (7), which the main window does not have either.
    EXPECT_EQ(gui::getDlgItemText(window, kIdStatusLine), "");
}

TEST_F(ControlTexts, CheckBoxTextsKeepTheirTrailingBlank) {
    for (const ControlText& pair : kOptionsTexts) {
        if (pair.controlId == 1016) {
            EXPECT_EQ(slot(pair.slot), "AutoSync every ");
        }
        if (pair.controlId == 1029) {
            EXPECT_EQ(slot(pair.slot), "AutoCheck every ");
        }
    }
}

}  // namespace
}  // namespace tavrel
