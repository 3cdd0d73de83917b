#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gui/dialog.h"
#include "gui/dialog_backend.h"
#include "gui/dialog_testing.h"
#include "gui/terminal/terminal_screen.h"
#include "resources/dialogs.h"

namespace tavrel::gui {
namespace {

class TerminalScreen : public ::testing::Test {
protected:
    void SetUp() override {
        testing::resetDialogManager();
        window = createDialog(kMainDialog, nullptr);
        setWindowText(window, "Tavrel 1.5 - UTC");
        setDlgItemText(window, kIdComputerName, "host");
        setDlgItemText(window, kIdLocalClock, "05:36:27\r\nMonday, 7 December 2026");
        setDlgItemText(window, kIdStatusLine, "Ready");
        showWindow(window, ShowCommand::Normal);
    }
    void TearDown() override { testing::resetDialogManager(); }
    std::vector<std::string> draw(const Focus& focus = {}) {
        return renderScreen(snapshotWindows(), 80, 24, focus, false).lines();
    }
    WindowHandle window = kNoWindow;
};

TEST_F(TerminalScreen, MainWindowFitsAndShowsItsControls) {
    const std::vector<std::string> lines = draw();
    const std::vector<std::string> expected = {
        "     +- Tavrel 1.5 - UTC ------------------------------------------[_][x]+",
        "     |host                              Server                           |",
        "     |05:36:27                          Not Checked Yet                  |",
        "     |Monday, 7 December 2026                                            |",
        "     |                                                                   |",
        "     |                                                                   |",
        "     |Ready                                                              |",
        "     |                                                                   |",
        "     |@      [   Check   ][  Correct   ][ Options ][Time Zone][  About  ]|",
        "     |                                                                   |",
        "     |                                                                   |",
        "     +-------------------------------------------------------------------+",
    };
    ASSERT_GE(lines.size(), 6 + expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[5 + i], expected[i]) << "row " << 5 + i;
}

TEST_F(TerminalScreen, FocusAndTooltipShow) {
    setControlTooltip(window, kIdCorrectButton, "Check the time and change it");
    const Screen screen = renderScreen(snapshotWindows(), 80, 24, Focus{window, kIdCorrectButton}, false);
    EXPECT_EQ(screen.lines()[17], "      Check the time and change it");
    // The focused button is drawn reversed.
    bool reversed = false;
    for (int x = 0; x < 80; ++x) {
        const Cell& cell = screen.at(x, 13);
        if (cell.hit.controlId == kIdCorrectButton) reversed = (cell.attr & kAttrReverse) != 0;
    }
    EXPECT_TRUE(reversed);
}

TEST_F(TerminalScreen, ClicksFindTheirTargets) {
    const Screen screen = renderScreen(snapshotWindows(), 80, 24, Focus{}, false);
    EXPECT_EQ(screen.at(15, 13).hit.kind, Hit::Kind::Control);
    EXPECT_EQ(screen.at(15, 13).hit.controlId, kIdCheckButton);
    EXPECT_EQ(screen.at(71, 5).hit.kind, Hit::Kind::CloseBox);
    EXPECT_EQ(screen.at(68, 5).hit.kind, Hit::Kind::MinimiseBox);
    EXPECT_EQ(screen.at(40, 12).hit.kind, Hit::Kind::Window);
}

TEST_F(TerminalScreen, MinimisedAndTrayEntriesSitOnTheLastLine) {
    showWindow(window, ShowCommand::Minimised);
    std::vector<std::string> lines = draw();
    EXPECT_EQ(lines[23], "[Tavrel 1.5 - UTC]");
    showWindow(window, ShowCommand::Hidden);
    trayAddIcon(window, "3 Hrs 59 Mns until AutoSync\r\nTIME Server Active");
    lines = draw();
    EXPECT_EQ(lines[23], "                                                   @ 3 Hrs 59 Mns until AutoSync");
    trayDeleteIcon(window);
    lines = draw();
    EXPECT_EQ(lines[23], "");
}

TEST_F(TerminalScreen, ModalWindowsDrawOnTop) {
    const WindowHandle about = createDialog(kAboutDialog, nullptr);
    showWindow(about, ShowCommand::Normal);
    setDlgItemText(about, kIdAboutProgramDir, "Program: /opt/tavrel/");
    const std::vector<std::string> lines = draw();
    bool found = false;
    for (const std::string& line : lines) found = found || line.find("Program: /opt/tavrel/") != std::string::npos;
    EXPECT_TRUE(found);
}

TEST(Utf8, RoundTripsAndKeepsStrayBytes) {
    EXPECT_EQ(toUtf8(fromUtf8("Zürich ─ 東京")), "Zürich ─ 東京");
    EXPECT_EQ(fromUtf8(std::string("caf\xE9")).back(), U'\xE9');
}

}  // namespace
}  // namespace tavrel::gui
