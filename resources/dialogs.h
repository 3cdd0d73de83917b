// Dialog templates: every control's kind, id, position and size in dialog
// units and its first text. Texts are placeholders; the windows set their
// texts from the string table at run time.
#pragma once

#include "gui/dialog.h"

namespace tavrel {

// Control ids of the main window.
inline constexpr int kIdStatusLine = 1000;
inline constexpr int kIdCheckButton = 1;
inline constexpr int kIdCorrectButton = 3;
inline constexpr int kIdAboutButton = 5;
inline constexpr int kIdOptionsButton = 101;
inline constexpr int kIdTimeZoneButton = 1001;
inline constexpr int kIdLocalClock = 1029;
inline constexpr int kIdServerClock = 1030;
inline constexpr int kIdComputerName = 1031;
inline constexpr int kIdServerName = 1032;

extern const gui::DialogTemplate kMainDialog;

// The About page (dialog 1025).
inline constexpr int kIdAboutTitle = 1101;
inline constexpr int kIdAboutLine1 = 1102;
inline constexpr int kIdAboutLine2 = 1103;
inline constexpr int kIdAboutLine3 = 1104;
inline constexpr int kIdAboutProgramDir = 1105;
inline constexpr int kIdAboutDataDir = 1106;
inline constexpr int kIdAboutSystem = 1107;
inline constexpr int kIdAboutOk = 1;
extern const gui::DialogTemplate kAboutDialog;

// The Options sheet's pages: Servers (1026), Auto (1016), System (1028), Misc (1027).
extern const gui::DialogTemplate kServersPage;
extern const gui::DialogTemplate kAutoPage;
extern const gui::DialogTemplate kSystemPage;
extern const gui::DialogTemplate kMiscPage;

// The QuestionBox (dialog 1601).
inline constexpr int kIdQuestionText = 1601;
inline constexpr int kIdQuestionYes = 1;
inline constexpr int kIdQuestionNo = 2;
extern const gui::DialogTemplate kQuestionBox;

// The time-zone dialog (dialog 1001).
extern const gui::DialogTemplate kTimeZoneDialog;

// The server scan's window and its list view.
inline constexpr int kIdScanList = 1;
extern const gui::DialogTemplate kScanWindow;

}  // namespace tavrel
