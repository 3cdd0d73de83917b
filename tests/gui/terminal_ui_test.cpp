// The terminal window's drawing and keys, driven through TerminalUi as the
// terminal backend drives it, on the real window model.
#include <gtest/gtest.h>
#include <ncurses.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gui/dialog.h"
#include "gui/dialog_backend.h"
#include "gui/dialog_testing.h"
#include "gui/terminal/terminal_layout.h"
#include "gui/terminal/terminal_screen.h"
#include "gui/terminal/terminal_ui.h"
#include "resources/dialogs.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "tests/support/temp_dir.h"
#include "ui/control_texts.h"
#include "ui/history_view.h"

namespace tavrel::gui {
namespace {

InputEvent key(Key k, char32_t ch = 0) {
    InputEvent e;
    e.type = InputEvent::Type::Key;
    e.key = k;
    e.ch = ch;
    return e;
}

InputEvent mouse(InputEvent::Type type, int x, int y) {
    InputEvent e;
    e.type = type;
    e.x = x;
    e.y = y;
    return e;
}

class TerminalUiTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetProcessState(dir.path(), dir.path());
        ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
        testing::resetDialogManager();
    }
    void TearDown() override { testing::resetDialogManager(); }

    // A window from a template with its texts, recording its commands.
    WindowHandle open(const DialogTemplate& dialog) {
        const WindowHandle w = createDialog(dialog, [this](WindowHandle, const WindowMessage& m) -> intptr_t {
            if (m.kind == MessageKind::Command) commands.push_back(m.id);
            return 0;
        });
        applyTemplateTexts(w);
        showWindow(w, ShowCommand::Normal);
        return w;
    }
    // Where a control is drawn.
    static bool find(const Screen& screen, WindowHandle w, int id, int& x, int& y) {
        for (y = 0; y < screen.height(); ++y) {
            for (x = 0; x < screen.width(); ++x) {
                const Hit& hit = screen.at(x, y).hit;
                if (hit.kind == Hit::Kind::Control && hit.window == w && hit.controlId == id) return true;
            }
        }
        return false;
    }
    static Style styleOf(const Screen& screen, WindowHandle w, int id) {
        int x = 0, y = 0;
        return find(screen, w, id, x, y) ? screen.at(x, y).style : Style::Normal;
    }
    static std::string text(const Screen& screen) {
        std::string all;
        for (const std::string& line : screen.lines()) all += line + "\n";
        return all;
    }

    test::TempDir dir;
    std::vector<int> commands;
};

// Every window, and the Options sheet with each of its pages, fits 80x24
// with a line for its tooltip and the entries line; no two controls share a
// cell, and no label, box or button is cut short.
TEST_F(TerminalUiTest, EveryWindowFitsTheSmallestTerminalWithNothingOverlappingOrCut) {
    const DialogTemplate* templates[] = {&kMainDialog, &kAboutDialog,   &kQuestionBox, &kTimeZoneDialog,
                                         &kScanWindow, &kServersPage,   &kAutoPage,    &kSystemPage,
                                         &kMiscPage,    &kHistoryDialog};
    for (const DialogTemplate* dialog : templates) {
        testing::resetDialogManager();
        const WindowHandle w = open(*dialog);
        const std::vector<WindowView> windows = snapshotWindows();
        const WindowView& view = windows.front();
        const WindowGeometry g = measureWindow(view, windows);
        EXPECT_LE(g.width, 80) << dialog->name;
        EXPECT_LE(g.height + 2, 24) << dialog->name;
        for (size_t i = 0; i < view.controls.size(); ++i) {
            const GridRect& a = g.layout.cells[i];
            const ControlView& c = view.controls[i];
            if (a.height == 0) continue;
            EXPECT_LE(a.col + a.width, g.layout.columns) << dialog->name << " control " << c.layout.id;
            const bool oneLine = !multiLine(c);
            if (oneLine && (c.layout.kind == ControlKind::Label || c.layout.kind == ControlKind::CheckBox ||
                            c.layout.kind == ControlKind::RadioButton || c.layout.kind == ControlKind::PushButton)) {
                const int frame = c.layout.kind == ControlKind::Label ? 0 : c.layout.kind == ControlKind::PushButton ? 2 : 4;
                EXPECT_GE(a.width, textCells(c.text) + frame) << dialog->name << ": " << c.text;
            }
            for (size_t j = i + 1; j < view.controls.size(); ++j) {
                const GridRect& b = g.layout.cells[j];
                if (b.height == 0) continue;
                const bool apart = a.col + a.width <= b.col || b.col + b.width <= a.col ||
                                   a.row + a.height <= b.row || b.row + b.height <= a.row;
                EXPECT_TRUE(apart) << dialog->name << ": \"" << c.text << "\" and \"" << view.controls[j].text
                                   << "\" share cells";
            }
        }
        destroyWindow(w);
    }

    // The sheet: drawn with each page in turn, from a timer of its owner.
    testing::resetDialogManager();
    TerminalUi ui(false);
    std::vector<std::string> problems;
    const WindowHandle owner = createDialog(kMainDialog, [&](WindowHandle self, const WindowMessage& m) -> intptr_t {
        if (m.kind != MessageKind::Timer) return 0;
        killTimer(self, 1);
        for (int page = 0; page < 4; ++page) {
            const std::string shown = text(ui.render(80, 24));
            if (shown.find("Enlarge") != std::string::npos) problems.push_back("page " + std::to_string(page));
            ui.handle(key(Key::Right));  // the focus starts on the first tab
            pumpMessages();
        }
        ui.handle(key(Key::Escape));
        return 0;
    });
    auto page = [](const DialogTemplate& d) {
        return PropertyPage{&d, d.name, [](WindowHandle w, const WindowMessage& m) -> intptr_t {
                                if (m.kind == MessageKind::Create) applyTemplateTexts(w);
                                return 0;
                            }};
    };
    setTimer(owner, 1, 1);
    EXPECT_EQ(runPropertySheet("Tavrel Options", {page(kServersPage), page(kAutoPage), page(kSystemPage), page(kMiscPage)},
                               owner),
              0);
    EXPECT_TRUE(problems.empty()) << problems.front();
}

TEST_F(TerminalUiTest, FocusDefaultButtonGreyedControlsAndTooltipsShowDistinctly) {
    const WindowHandle w = open(kMainDialog);
    setControlTooltip(w, kIdCorrectButton, "Check the time and change it");
    TerminalUi ui(true);
    const Screen* screen = &ui.render(80, 24);
    // The default button starts with the focus; its tooltip shows under the window.
    EXPECT_EQ(styleOf(*screen, w, kIdCheckButton), Style::Focus);
    EXPECT_EQ(styleOf(*screen, w, kIdCorrectButton), Style::Button);
    EXPECT_NE(text(*screen).find("Check the time but don't change it"), std::string::npos);
    ui.handle(key(Key::Tab));
    screen = &ui.render(80, 24);
    EXPECT_EQ(styleOf(*screen, w, kIdCheckButton), Style::DefaultButton);
    EXPECT_EQ(styleOf(*screen, w, kIdCorrectButton), Style::Focus);
    EXPECT_NE(text(*screen).find("Check the time and change it"), std::string::npos);
    enableDlgItem(w, kIdOptionsButton, false);
    EXPECT_EQ(styleOf(ui.render(80, 24), w, kIdOptionsButton), Style::Disabled);
}

// Enter presses the focused push button, as Windows' dialog manager does;
// elsewhere it is the default button. The question before a reset opens
// on "No", so a stray Enter changes nothing.
TEST_F(TerminalUiTest, EnterPressesTheFocusedButtonNotAlwaysTheFirst) {
    WindowHandle question = open(kQuestionBox);
    {
        TerminalUi ui(false);
        ASSERT_EQ(ui.focus().controlId, kIdQuestionNo);
        ui.handle(key(Key::Enter));
        pumpMessages();
        EXPECT_EQ(commands, std::vector<int>{kIdQuestionNo});
    }
    destroyWindow(question);
    pumpMessages();
    commands.clear();
    question = open(kQuestionBox);
    TerminalUi ui(false);
    ui.handle(key(Key::Tab));
    ASSERT_EQ(ui.focus().controlId, kIdQuestionYes);
    ui.handle(key(Key::Enter));
    pumpMessages();
    EXPECT_EQ(commands, std::vector<int>{kIdQuestionYes});
    destroyWindow(question);
    pumpMessages();

    commands.clear();
    open(kMainDialog);
    ui.handle(key(Key::Tab));
    ui.handle(key(Key::Enter));
    pumpMessages();
    EXPECT_EQ(commands, std::vector<int>{kIdCorrectButton});
}

// The three source buttons of the Servers page are one group, though the
// list and the address fields lie between them: choosing Manual A clears
// Use List.
TEST_F(TerminalUiTest, RadioButtonsWithControlsBetweenThemAreOneGroup) {
    const WindowHandle page = open(kServersPage);
    checkDlgButton(page, kIdUseList, true);
    TerminalUi ui(false);
    ui.render(80, 24);
    for (int i = 0; i < 20 && ui.focus().controlId != kIdUseManualA; ++i) ui.handle(key(Key::Tab));
    ASSERT_EQ(ui.focus().controlId, kIdUseManualA);
    ui.handle(key(Key::Char, U' '));
    pumpMessages();
    EXPECT_TRUE(isDlgButtonChecked(page, kIdUseManualA));
    EXPECT_FALSE(isDlgButtonChecked(page, kIdUseList));
    EXPECT_FALSE(isDlgButtonChecked(page, kIdUseManualB));
}

// A group ends where a control with the group style starts the next: two
// groups of radio buttons each keep one button set.
TEST_F(TerminalUiTest, RadioButtonsOfAnotherGroupKeepTheirState) {
    const ControlTemplate controls[] = {
        {ControlKind::RadioButton, 11, 4, 4, 40, 10, "North"},
        {ControlKind::RadioButton, 12, 4, 16, 40, 10, "South"},
        {ControlKind::RadioButton, 21, 60, 4, 40, 10, "Day", -1, -1, true},
        {ControlKind::Label, -1, 60, 16, 20, 8, "or"},
        {ControlKind::RadioButton, 22, 60, 28, 40, 10, "Night"},
    };
    const DialogTemplate dialog{"groups", "Groups", 120, 50, controls};
    const WindowHandle w = open(dialog);
    checkDlgButton(w, 11, true);
    checkDlgButton(w, 21, true);
    TerminalUi ui(false);
    ui.render(80, 24);
    for (int id : {12, 22}) {
        for (int i = 0; i < 10 && ui.focus().controlId != id; ++i) ui.handle(key(Key::Tab));
        ASSERT_EQ(ui.focus().controlId, id);
        ui.handle(key(Key::Char, U' '));
    }
    EXPECT_FALSE(isDlgButtonChecked(w, 11));
    EXPECT_TRUE(isDlgButtonChecked(w, 12));
    EXPECT_FALSE(isDlgButtonChecked(w, 21));
    EXPECT_TRUE(isDlgButtonChecked(w, 22));
}

// A typed digit is never moved into another number: one that makes a
// number too large is refused with a message, which takes the keys until
// it is closed.
TEST_F(TerminalUiTest, FieldsRefuseNumbersTooLargeWithAMessage) {
    const WindowHandle page = open(kServersPage);
    enableDlgItem(page, kIdManualA, true);
    TerminalUi ui(false);
    ui.render(80, 24);
    auto typeInto = [&](int id, const std::string& keys) {
        for (int i = 0; i < 40 && ui.focus().controlId != id; ++i) ui.handle(key(Key::Tab));
        EXPECT_EQ(ui.focus().controlId, id);
        for (char c : keys) ui.handle(key(Key::Char, static_cast<char32_t>(c)));
    };
    auto shows = [&](const std::string& words) { return text(ui.render(80, 24)).find(words) != std::string::npos; };
    auto retype = [&](const std::string& keys) {
        ui.handle(key(Key::BackTab));
        ui.handle(key(Key::Tab));
        for (char c : keys) ui.handle(key(Key::Char, static_cast<char32_t>(c)));
    };
    typeInto(kIdManualA, "300.1.2.3");
    EXPECT_TRUE(shows("300 is not a valid entry"));
    EXPECT_EQ(getDlgItemText(page, kIdManualA), "30");
    ui.handle(key(Key::Enter));
    EXPECT_FALSE(shows("not a valid entry"));
    retype("127.0.0.256");
    EXPECT_TRUE(shows("256 is not a valid entry"));
    EXPECT_EQ(getDlgItemText(page, kIdManualA), "127.0.0.25");
    ui.handle(key(Key::Enter));
    // Three digits end a number, as in the address control.
    retype("12345");
    EXPECT_FALSE(shows("not a valid entry"));
    EXPECT_EQ(getDlgItemText(page, kIdManualA), "123.45");

    const WindowHandle system = open(kSystemPage);
    setUpDownRange(system, kIdUpDownTimeout, 5, 99);
    ui.render(80, 24);
    typeInto(kIdSyncTimeout, "41234");
    EXPECT_NE(text(ui.render(80, 24)).find("412 is not a valid entry"), std::string::npos);
    EXPECT_EQ(getDlgItemText(system, kIdSyncTimeout), "41");
}

// The line at the bottom says what the keys do in the window that takes
// them: the main window's Escape exits, a dialog's cancels, and Time Zone,
// which cannot be closed, offers none.
TEST_F(TerminalUiTest, TheKeyHintsSayWhatTheKeysDoInEachWindow) {
    TerminalUi ui(false);
    auto hints = [&ui] { return ui.render(80, 24).lines().back(); };
    const WindowHandle main = open(kMainDialog);
    EXPECT_NE(hints().find("Esc: exit"), std::string::npos) << hints();
    EXPECT_NE(hints().find("F10: menu"), std::string::npos) << hints();
    const WindowHandle zone = open(kTimeZoneDialog);
    EXPECT_EQ(hints().find("Esc"), std::string::npos) << hints();
    EXPECT_EQ(hints().find("F10"), std::string::npos) << hints();
    destroyWindow(zone);
    pumpMessages();
    (void)main;
}

// A menu stays beside the control it was opened from when a resize moves
// the window.
TEST_F(TerminalUiTest, AMenuFollowsItsWindowWhenTheTerminalIsResized) {
    const WindowHandle main = open(kMainDialog);
    TerminalUi ui(false);
    auto menuTop = [&ui](int width, int height, int& focusedRow) {
        const Screen& screen = ui.render(width, height);
        int top = -1;
        focusedRow = -1;
        for (int y = 0; y < screen.height(); ++y) {
            for (int x = 0; x < screen.width(); ++x) {
                const Hit& hit = screen.at(x, y).hit;
                if (hit.kind == Hit::Kind::PopupItem && top == -1) top = y;
                if (hit.kind == Hit::Kind::Control && hit.controlId == kIdCheckButton && focusedRow == -1) focusedRow = y;
            }
        }
        return top;
    };
    int row = 0;
    (void)menuTop(80, 24, row);
    ui.openMenu(main, {{"About", 1}, {"Exit", 2}});
    int top = menuTop(80, 24, row);
    EXPECT_EQ(top, row + 1);
    const int before = row;
    top = menuTop(120, 50, row);
    EXPECT_EQ(top, row + 1);
    EXPECT_NE(row, before);
}

// The menu of a window in the notification area opens above its entry on
// the last line, not in the middle of an empty terminal.
TEST_F(TerminalUiTest, ATrayMenuOpensAboveItsEntry) {
    const WindowHandle main = open(kMainDialog);
    trayAddIcon(main, "Tavrel");
    showWindow(main, ShowCommand::Hidden);
    TerminalUi ui(false);
    (void)ui.render(80, 24);
    ui.openMenu(main, {{"Restore", 1}, {"About", 2}, {"Exit", 3}});
    const Screen& screen = ui.render(80, 24);
    int entryLeft = -1, entryRight = -1;
    int menuBottom = -1, menuLeft = 80, menuRight = -1;
    for (int y = 0; y < screen.height(); ++y) {
        for (int x = 0; x < screen.width(); ++x) {
            const Hit& hit = screen.at(x, y).hit;
            if (hit.kind == Hit::Kind::TrayEntry) {
                if (entryLeft == -1) entryLeft = x;
                entryRight = x;
            }
            if (hit.kind == Hit::Kind::PopupItem) {
                menuBottom = y;
                menuLeft = std::min(menuLeft, x);
                menuRight = std::max(menuRight, x);
            }
        }
    }
    ASSERT_NE(entryLeft, -1) << text(screen);
    ASSERT_NE(menuBottom, -1) << text(screen);
    EXPECT_LT(menuBottom, 23) << text(screen);  // above the entries line
    EXPECT_GE(menuBottom, 23 - 5) << text(screen);  // and just above it
    EXPECT_TRUE(menuRight >= entryLeft && menuLeft <= entryRight) << text(screen);
}

// On a terminal that cannot dim text (a vt100), greyed controls still look
// unlike the others.
TEST_F(TerminalUiTest, GreyedControlsLookDifferentWithoutDim) {
    const WindowHandle page = open(kServersPage);
    checkDlgButton(page, kIdUseList, true);
    enableDlgItem(page, kIdUseManualB, false);
    TerminalUi ui(false);
    ui.setCanDim(false);
    const std::string screen = text(ui.render(80, 24));
    EXPECT_NE(screen.find("(*) Use List"), std::string::npos) << screen;
    EXPECT_NE(screen.find("( ) Manual A"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("( ) Manual B"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Manual B"), std::string::npos) << screen;
}

// A focused button greyed while it works (Correct) lends the focus to
// another control, so the keys still act, and takes it back once enabled.
TEST_F(TerminalUiTest, AGreyedFocusedButtonLendsTheFocusAndTakesItBack) {
    const WindowHandle main = open(kMainDialog);
    TerminalUi ui(false);
    ui.render(80, 24);
    ui.handle(key(Key::Tab));
    ASSERT_EQ(ui.focus().controlId, kIdCorrectButton);
    enableDlgItem(main, kIdCorrectButton, false);
    ui.render(80, 24);
    EXPECT_NE(ui.focus().controlId, kIdCorrectButton);
    EXPECT_NE(ui.focus().controlId, -1);
    commands.clear();
    ui.handle(key(Key::Enter));
    pumpMessages();
    EXPECT_EQ(commands.size(), 1u);
    enableDlgItem(main, kIdCorrectButton, true);
    ui.render(80, 24);
    EXPECT_EQ(ui.focus().controlId, kIdCorrectButton);
}

// Curses now and then reports a click's release without its press (they
// were read together on a busy machine): the release alone is the click,
// and a press with its release is still one click.
TEST_F(TerminalUiTest, AReleaseWithoutItsPressIsTheClick) {
    const WindowHandle page = open(kMiscPage);
    TerminalUi ui(false);
    int x = 0, y = 0;
    ASSERT_TRUE(find(ui.render(80, 24), page, kIdOnTop, x, y));
    ui.handle(mouse(InputEvent::Type::Release, x, y));
    EXPECT_TRUE(isDlgButtonChecked(page, kIdOnTop));
    ui.handle(mouse(InputEvent::Type::Press, x, y));
    ui.handle(mouse(InputEvent::Type::Release, x, y));
    EXPECT_FALSE(isDlgButtonChecked(page, kIdOnTop));
}

// While the terminal is too small for the windows, keys do nothing unseen.
TEST_F(TerminalUiTest, KeysDoNothingWhileTheWindowDoesNotFit) {
    open(kMainDialog);
    TerminalUi ui(false);
    EXPECT_NE(text(ui.render(30, 10)).find("Enlarge the terminal"), std::string::npos);
    ui.handle(key(Key::Tab));
    ui.handle(key(Key::Enter));
    ui.handle(key(Key::Escape));
    pumpMessages();
    EXPECT_TRUE(commands.empty());
    ui.render(80, 24);
    ui.handle(key(Key::Enter));
    pumpMessages();
    EXPECT_EQ(commands, std::vector<int>{kIdCheckButton});
}

// A key read with the resize that made the terminal too small, before the
// next drawing, does nothing either: the fit is judged at the key.
TEST_F(TerminalUiTest, AKeyReadRightAfterAShrinkingResizeDoesNothing) {
    open(kMainDialog);
    TerminalUi ui(false);
    ui.render(100, 30);
    ui.setScreenSize(30, 10);  // the resize, read in the same batch as the key
    ui.handle(key(Key::Enter));
    pumpMessages();
    EXPECT_TRUE(commands.empty());
    ui.setScreenSize(100, 30);
    ui.handle(key(Key::Enter));
    pumpMessages();
    EXPECT_EQ(commands, std::vector<int>{kIdCheckButton});
}

TEST_F(TerminalUiTest, UpRaisesANumberAndOneClickIsOnePress) {
    const WindowHandle page = open(kAutoPage);
    setUpDownRange(page, kIdUpDownAutoSync, 0, 99);
    setDlgItemInt(page, kIdAutoSyncCount, 4);
    TerminalUi ui(false);
    while (ui.focus().controlId != kIdAutoSyncCount) ui.handle(key(Key::Tab));
    ui.handle(key(Key::Up));
    bool ok = false;
    EXPECT_EQ(getDlgItemInt(page, kIdAutoSyncCount, ok), 5);
    ui.handle(key(Key::Down));
    ui.handle(key(Key::Down));
    EXPECT_EQ(getDlgItemInt(page, kIdAutoSyncCount, ok), 3);
    // Typing replaces the text the field had when it took the focus.
    ui.handle(key(Key::Tab));
    ui.handle(key(Key::BackTab));
    ui.handle(key(Key::Char, U'1'));
    ui.handle(key(Key::Char, U'2'));
    EXPECT_EQ(getDlgItemText(page, kIdAutoSyncCount), "12");

    const bool before = isDlgButtonChecked(page, kIdAutoSyncOn);
    int x = 0, y = 0;
    ASSERT_TRUE(find(ui.render(80, 24), page, kIdAutoSyncOn, x, y));
    ui.handle(mouse(InputEvent::Type::Press, x, y));
    ui.handle(mouse(InputEvent::Type::Release, x, y));
    ui.handle(key(Key::Tab));
    EXPECT_EQ(isDlgButtonChecked(page, kIdAutoSyncOn), !before);
}

// The History view at 80x24: both series drawn with their axes' figures,
// the minimum, median and maximum of the span, and the span's choice.
TEST_F(TerminalUiTest, HistoryViewDrawsTheSpanItShows) {
    const platform::FileTime now = platform::getSystemTimeAsFileTime();
    const platform::FileTime hour = 3600ULL * platform::kFileTimeUnitsPerSecond;
    auto entry = [&](platform::FileTime ago, double offsetMs, uint32_t roundTrip) {
        HistoryEntry e;
        e.when = now - ago;
        e.action = "Check";
        e.offsetSeconds = offsetMs / 1000;
        e.roundTripMs = roundTrip;
        return e;
    };
    const std::vector<HistoryEntry> rows = {entry(72 * hour, 40.0, 90), entry(3 * hour, 1.0, 10),
                                            entry(2 * hour, -2.0, 20), entry(hour, 0.5, 15)};
    const WindowHandle view = open(kHistoryDialog);
    fillHistoryView(view, HistorySpan::Day, now, rows, 0);
    TerminalUi ui(true);
    std::string shown = text(ui.render(80, 24));
    EXPECT_EQ(shown.find("Enlarge"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Offset (ms): min -2.000  median 0.500  max 1.000  (3 replies)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Round trip (ms): min 10  median 15  max 20  (3 replies)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("1.000│"), std::string::npos) << shown;
    EXPECT_NE(shown.find("-2.000│"), std::string::npos) << shown;
    // The line is drawn in braille dots.
    const std::u32string all = fromUtf8(shown);
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](char32_t c) { return c > 0x2800 && c <= 0x28FF; })) << shown;
    fillHistoryView(view, HistorySpan::Week, now, rows, 0);
    shown = text(ui.render(80, 24));
    EXPECT_NE(shown.find("Offset (ms): min -2.000  median 0.750  max 40.000  (4 replies)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("(*) Last week"), std::string::npos) << shown;
}

// A History.csv of some 5 MB, weeks of rows with a few damaged ones among
// the newest: the view shows the last day from the file's end and says how
// many rows it passed over.
TEST_F(TerminalUiTest, HistoryViewReadsTheNewestDayOfALargeFileAndCountsTheRowsItSkipped) {
    const platform::FileTime now = platform::getSystemTimeAsFileTime();
    const platform::FileTime hour = 3600ULL * platform::kFileTimeUnitsPerSecond;
    auto row = [&](platform::FileTime when, double offsetMs, uint32_t roundTrip) {
        HistoryEntry e;
        e.when = when;
        e.action = "AutoCheck";
        e.server = "time.example";
        e.address = "192.0.2.1";
        e.protocol = "SNTP";
        e.offsetSeconds = offsetMs / 1000;
        e.roundTripMs = roundTrip;
        e.outcome = "Checked";
        return historyRow(e) + "\r\n";
    };
    std::string file = std::string(kHistoryHeader) + "\r\n";
    platform::FileTime when = now - 4 * 7 * 24 * hour;
    for (; file.size() < 5'000'000; when += 30 * platform::kFileTimeUnitsPerSecond) file += row(when, 40.0, 90);
    ASSERT_LT(when, now - 48 * hour);
    std::string infinite = row(now - 4 * hour, 1.0, 10);
    infinite.replace(infinite.find(",0.0010000,"), 11, ",inf,");
    std::string negative = row(now - 150 * platform::kFileTimeUnitsPerSecond, 1.0, 4321);
    negative.replace(negative.find(",4321,"), 6, ",-5,");
    const std::string cut = row(now - 30 * platform::kFileTimeUnitsPerSecond, 1.0, 10).substr(0, 40) + "\r\n";
    file += infinite + row(now - 3 * hour, 1.0, 10) + "\r\n" + row(now - 2 * hour, -2.0, 20) + negative +
            row(now - hour, 0.5, 15) + cut;
    test::writeFile(dir.file(kHistoryFileName), file);

    size_t skipped = 0;
    const std::vector<HistoryEntry> rows = readHistory(0, skipped);
    const WindowHandle view = open(kHistoryDialog);
    fillHistoryView(view, HistorySpan::Day, now, rows, skipped);
    TerminalUi ui(true);
    const std::string shown = text(ui.render(80, 24));
    EXPECT_EQ(shown.find("Enlarge"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Offset (ms): min -2.000  median 0.500  max 1.000  (3 replies)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Round trip (ms): min 10  median 15  max 20  (3 replies)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("3 rows could not be read and were skipped"), std::string::npos) << shown;

    // With none skipped the view says nothing of it.
    fillHistoryView(view, HistorySpan::Day, now, rows, 0);
    EXPECT_EQ(text(ui.render(80, 24)).find("skipped"), std::string::npos);
}

// The scan window's list of 27 servers, at 80x24 and at 200x60: the keys,
// the wheel and clicks scroll it, the current row stays in view, and a
// scroll bar and the range on the hints line tell that rows are hidden.
class ScanListTest : public TerminalUiTest {
protected:
    void SetUp() override {
        TerminalUiTest::SetUp();
        w = open(kScanWindow);
        listViewSetColumns(w, kIdScanList, {"Server", "IP", "TIME (ms)", "SNTP (ms)"});
        for (int i = 1; i <= 27; ++i) {
            const std::string name = std::string("server-") + (i < 10 ? "0" : "") + std::to_string(i);
            listViewInsertRow(w, kIdScanList, i - 1, name);
            listViewSetCell(w, kIdScanList, i - 1, 3, std::to_string(10 * i));
        }
    }
    // What the list shows: its server names top down, the scroll bar's
    // column beside the rows, and the hints line.
    struct Shown {
        std::vector<std::string> names;
        std::u32string bar;
        std::string hints;
        Style currentStyle = Style::Normal;
        std::string current;  // the name on the row drawn with the focus
    };
    Shown look(TerminalUi& ui, int width = 80, int height = 24) {
        const Screen& screen = ui.render(width, height);
        Shown shown;
        int x = 0, y = 0;
        EXPECT_TRUE(find(screen, w, kIdScanList, x, y));
        int right = x;
        while (right + 1 < screen.width() && screen.at(right + 1, y).hit.controlId == kIdScanList) ++right;
        const std::vector<std::string> lines = screen.lines();
        for (int row = y + 1; row < screen.height() && screen.at(x, row).hit.controlId == kIdScanList; ++row) {
            shown.bar += screen.at(right, row).ch;
            const std::string line = lines[static_cast<size_t>(row)];
            const size_t at = line.find("server-");
            if (at == std::string::npos) continue;
            shown.names.push_back(line.substr(at, 9));
            if (screen.at(x, row).style == Style::Focus) shown.current = shown.names.back();
        }
        shown.hints = lines.back();
        return shown;
    }
    WindowHandle w = kNoWindow;
};

TEST_F(ScanListTest, KeysMoveTheCurrentRowAndTheViewFollows) {
    TerminalUi ui(false);
    ASSERT_EQ(ui.focus().controlId, kIdScanList);
    for (const auto& [width, height] : {std::pair{80, 24}, std::pair{200, 60}}) {
        ui.handle(key(Key::Home));
        Shown s = look(ui, width, height);
        ASSERT_EQ(s.names.size(), 12u) << width;
        EXPECT_EQ(s.names.front(), "server-01");
        EXPECT_EQ(s.current, "server-01");
        // Hidden below only: the arrow down at the bottom, none up.
        EXPECT_EQ(s.bar.back(), U'v');
        EXPECT_NE(s.bar.front(), U'^');
        EXPECT_NE(s.hints.find("1-12 of 27"), std::string::npos) << s.hints;

        ui.handle(key(Key::End));
        s = look(ui, width, height);
        ASSERT_EQ(s.names.size(), 12u);
        EXPECT_EQ(s.names.back(), "server-27");
        EXPECT_EQ(s.current, "server-27");
        EXPECT_EQ(s.bar.front(), U'^');
        EXPECT_NE(s.bar.back(), U'v');
        EXPECT_NE(s.hints.find("16-27 of 27"), std::string::npos) << s.hints;
    }
    // From the top, Down past the last row shown scrolls by one row.
    ui.handle(key(Key::Home));
    for (int i = 0; i < 12; ++i) ui.handle(key(Key::Down));
    Shown s = look(ui);
    EXPECT_EQ(s.current, "server-13");
    EXPECT_EQ(s.names.front(), "server-02");
    EXPECT_EQ(s.names.back(), "server-13");
    // Both ends hidden: both arrows.
    EXPECT_EQ(s.bar.front(), U'^');
    EXPECT_EQ(s.bar.back(), U'v');
    // Up and Down stay in the list; the focus does not move.
    EXPECT_EQ(ui.focus().controlId, kIdScanList);
    for (int i = 0; i < 12; ++i) ui.handle(key(Key::Up));
    s = look(ui);
    EXPECT_EQ(s.current, "server-01");
    EXPECT_EQ(s.names.front(), "server-01");
    ui.handle(key(Key::Up));
    EXPECT_EQ(look(ui).current, "server-01");
    EXPECT_EQ(ui.focus().controlId, kIdScanList);

    // Page by page to the end and back.
    std::vector<std::string> firsts;
    for (int i = 0; i < 4; ++i) {
        ui.handle(key(Key::PageDown));
        s = look(ui);
        firsts.push_back(s.names.front());
        EXPECT_NE(std::find(s.names.begin(), s.names.end(), s.current), s.names.end()) << s.current;
    }
    EXPECT_EQ(firsts, (std::vector<std::string>{"server-13", "server-16", "server-16", "server-16"}));
    EXPECT_EQ(s.current, "server-27");
    ui.handle(key(Key::PageUp));
    ui.handle(key(Key::PageUp));
    s = look(ui);
    EXPECT_EQ(s.names.front(), "server-01");
    EXPECT_EQ(s.current, "server-03");
    EXPECT_EQ(ui.listCurrentRow(w, kIdScanList), 2);
    ui.handle(key(Key::PageUp));
    EXPECT_EQ(look(ui).current, "server-01");
}

TEST_F(ScanListTest, TheWheelScrollsTheViewAndAClickPicksARow) {
    TerminalUi ui(true);
    Shown s = look(ui);
    EXPECT_EQ(s.bar.back(), U'▼');
    int x = 0, y = 0;
    ASSERT_TRUE(find(ui.render(80, 24), w, kIdScanList, x, y));
    InputEvent wheel = mouse(InputEvent::Type::Wheel, x + 2, y + 5);
    wheel.wheel = 1;
    ui.handle(wheel);
    ui.handle(wheel);
    s = look(ui);
    // The view moved; the current row stayed where it was, out of view.
    EXPECT_EQ(s.names.front(), "server-07");
    EXPECT_EQ(s.current, "");
    EXPECT_EQ(ui.listCurrentRow(w, kIdScanList), 0);
    EXPECT_EQ(s.bar.front(), U'▲');
    EXPECT_NE(s.hints.find("7-18 of 27"), std::string::npos) << s.hints;
    // Far down, the wheel stops at the last row.
    for (int i = 0; i < 10; ++i) ui.handle(wheel);
    EXPECT_EQ(look(ui).names.back(), "server-27");
    wheel.wheel = -1;
    for (int i = 0; i < 10; ++i) ui.handle(wheel);
    EXPECT_EQ(look(ui).names.front(), "server-01");

    // A click on a row makes it current; a key then moves from there.
    ui.handle(mouse(InputEvent::Type::Press, x + 2, y + 1 + 4));
    ui.handle(mouse(InputEvent::Type::Release, x + 2, y + 1 + 4));
    EXPECT_EQ(look(ui).current, "server-05");
    ui.handle(key(Key::Down));
    EXPECT_EQ(look(ui).current, "server-06");
    EXPECT_TRUE(commands.empty());

    // The wheel over another control, or with a menu open, scrolls nothing.
    int sx = 0, sy = 0;
    ASSERT_TRUE(find(ui.render(80, 24), w, kIdScanSort, sx, sy));
    wheel = mouse(InputEvent::Type::Wheel, sx, sy);
    wheel.wheel = 1;
    ui.handle(wheel);
    EXPECT_EQ(look(ui).names.front(), "server-01");
}

TEST_F(ScanListTest, AListThatShowsEveryRowHasNoScrollMark) {
    testing::resetDialogManager();
    w = open(kScanWindow);
    listViewSetColumns(w, kIdScanList, {"Server", "IP", "TIME (ms)", "SNTP (ms)"});
    for (int i = 1; i <= 12; ++i) listViewInsertRow(w, kIdScanList, i - 1, "server-" + std::to_string(10 + i));
    TerminalUi ui(false);
    ui.handle(key(Key::End));
    Shown s = look(ui);
    EXPECT_EQ(s.names.size(), 12u);
    EXPECT_EQ(s.bar.find_first_not_of(U' '), std::u32string::npos);
    EXPECT_EQ(s.hints.find(" of "), std::string::npos) << s.hints;
    // A 13th row, as the scan adds them: the mark shows.
    listViewInsertRow(w, kIdScanList, 12, "server-99");
    s = look(ui);
    EXPECT_EQ(s.bar.back(), U'v');
    EXPECT_NE(s.bar.front(), U'^');
    EXPECT_NE(s.hints.find("1-12 of 13"), std::string::npos) << s.hints;
}

TEST_F(TerminalUiTest, ATooSmallTerminalSaysHowLargeItMustBe) {
    open(kMainDialog);
    TerminalUi ui(false);
    const std::string small = text(ui.render(60, 20));
    EXPECT_NE(small.find("Enlarge the terminal to "), std::string::npos) << small;
    EXPECT_EQ(text(ui.render(80, 24)).find("Enlarge"), std::string::npos);
}

// A press acts and its release does not (a terminal that reports only
// clicks gives presses); movement is nothing, and the wheel's notches are
// their own events.
TEST(TerminalInput, PressesAndReleasesDecodeApart) {
    EXPECT_EQ(decodeMouse(BUTTON1_PRESSED, 3, 4).type, InputEvent::Type::Press);
    EXPECT_EQ(decodeMouse(BUTTON1_RELEASED, 3, 4).type, InputEvent::Type::Release);
    EXPECT_EQ(decodeMouse(BUTTON1_CLICKED, 3, 4).type, InputEvent::Type::Press);
    EXPECT_TRUE(decodeMouse(BUTTON3_PRESSED, 3, 4).rightButton);
    EXPECT_EQ(decodeMouse(REPORT_MOUSE_POSITION, 3, 4).type, InputEvent::Type::None);
    EXPECT_EQ(decodeMouse(BUTTON4_PRESSED, 3, 4).type, InputEvent::Type::Wheel);
    EXPECT_EQ(decodeMouse(BUTTON4_PRESSED, 3, 4).wheel, -1);
    EXPECT_EQ(decodeMouse(BUTTON5_PRESSED, 3, 4).wheel, 1);
    EXPECT_EQ(decodeKey(KEY_HOME).key, Key::Home);
    EXPECT_EQ(decodeKey(KEY_END).key, Key::End);
    EXPECT_EQ(decodeKey(KEY_BTAB).key, Key::BackTab);
    EXPECT_EQ(decodeKey('\r').key, Key::Enter);
    EXPECT_EQ(decodeKey(KEY_F(22)).key, Key::Menu);
    EXPECT_EQ(decodeKey(KEY_UP).key, Key::Up);
    EXPECT_EQ(decodeKey('7').ch, U'7');
}

// A server's name may hold escape sequences; drawn, they are blanks.
TEST(TerminalScreen, ControlCharactersAreDrawnAsBlanks) {
    Screen screen(12, 1);
    screen.put(0, 0, U"a\x1B]0;t\x07\x7F\x9B" U"2Jb", Style::Normal, Hit{});
    EXPECT_EQ(screen.lines().at(0), "a ]0;t   2Jb");
}

TEST(Utf8, RoundTripsAndKeepsStrayBytes) {
    EXPECT_EQ(toUtf8(fromUtf8("Zürich ─ 東京")), "Zürich ─ 東京");
    EXPECT_EQ(fromUtf8(std::string("caf\xE9")).back(), U'\xE9');
}

}  // namespace
}  // namespace tavrel::gui
