#include "resources/dialogs.h"

#include <array>

namespace tavrel {
namespace {

using gui::ControlKind;
using gui::ControlTemplate;

constexpr std::array kMainControls = {
    ControlTemplate{ControlKind::DefaultPushButton, kIdCheckButton, 30, 63, 50, 14, "Check"},
    ControlTemplate{ControlKind::PushButton, kIdCorrectButton, 83, 63, 50, 14, "Correct"},
    ControlTemplate{ControlKind::PushButton, kIdOptionsButton, 136, 63, 42, 14, "Options"},
    ControlTemplate{ControlKind::PushButton, kIdTimeZoneButton, 180, 63, 42, 14, "Time Zone"},
    ControlTemplate{ControlKind::PushButton, kIdAboutButton, 224, 63, 42, 14, "About"},
    ControlTemplate{ControlKind::Icon, -1, 3, 58, 20, 20, ""},
    ControlTemplate{ControlKind::Label, kIdComputerName, 3, 3, 126, 8, ""},
    ControlTemplate{ControlKind::SunkenStatic, kIdLocalClock, 3, 14, 130, 25, ""},
    ControlTemplate{ControlKind::Label, kIdServerName, 136, 3, 128, 8, "Server"},
    ControlTemplate{ControlKind::SunkenStatic, kIdServerClock, 136, 14, 130, 25, "Not Checked Yet"},
    ControlTemplate{ControlKind::SunkenStatic, kIdStatusLine, 3, 43, 263, 10, ""},
};

constexpr std::array kAboutControls = {
    ControlTemplate{ControlKind::Icon, -1, 4, 4, 20, 20, ""},
    ControlTemplate{ControlKind::Label, kIdAboutTitle, 28, 4, 230, 8, "Tavrel 1.5"},
    ControlTemplate{ControlKind::Label, kIdAboutLine1, 28, 16, 230, 8, ""},
    ControlTemplate{ControlKind::Label, kIdAboutLine2, 28, 24, 230, 8, ""},
    ControlTemplate{ControlKind::Label, kIdAboutLine3, 28, 32, 230, 8, ""},
    ControlTemplate{ControlKind::Label, kIdAboutProgramDir, 4, 48, 254, 8, ""},
    ControlTemplate{ControlKind::Label, kIdAboutDataDir, 4, 56, 254, 8, ""},
    ControlTemplate{ControlKind::Label, kIdAboutSystem, 4, 64, 254, 8, ""},
    ControlTemplate{ControlKind::DefaultPushButton, kIdAboutOk, 108, 80, 50, 14, "OK"},
};

// The four pages of the Options sheet.
constexpr std::array kServersControls = {
    ControlTemplate{ControlKind::RadioButton, 1035, 4, 6, 50, 10, ""},
    ControlTemplate{ControlKind::ComboBox, 1034, 59, 5, 110, 254, ""},
    ControlTemplate{ControlKind::CheckBox, 1004, 65, 31, 100, 9, ""},
    ControlTemplate{ControlKind::RadioButton, 1036, 4, 57, 50, 10, ""},
    ControlTemplate{ControlKind::IpAddress, 1007, 59, 56, 110, 14, ""},
    ControlTemplate{ControlKind::RadioButton, 1037, 4, 74, 50, 10, ""},
    ControlTemplate{ControlKind::IpAddress, 1008, 59, 73, 110, 14, ""},
    ControlTemplate{ControlKind::Label, 1200, 6, 102, 40, 8, ""},
    ControlTemplate{ControlKind::ComboBox, 1013, 59, 100, 110, 70, ""},
    ControlTemplate{ControlKind::PushButton, 1022, 188, 5, 55, 14, ""},
    ControlTemplate{ControlKind::PushButton, 1027, 188, 22, 55, 14, ""},
    ControlTemplate{ControlKind::PushButton, 1028, 188, 39, 55, 14, ""},
};

constexpr std::array kAutoControls = {
    ControlTemplate{ControlKind::GroupBox, 1201, 3, 3, 118, 73, ""},
    ControlTemplate{ControlKind::CheckBox, 1016, 25, 16, 75, 10, ""},
    ControlTemplate{ControlKind::Edit, 1018, 19, 31, 40, 14, ""},
    ControlTemplate{ControlKind::UpDown, 1010, 55, 31, 11, 14, ""},
    ControlTemplate{ControlKind::ComboBox, 1017, 65, 32, 45, 70, ""},
    ControlTemplate{ControlKind::PushButton, 1009, 39, 51, 50, 14, ""},
    ControlTemplate{ControlKind::GroupBox, 1202, 125, 3, 118, 73, ""},
    ControlTemplate{ControlKind::CheckBox, 1029, 147, 16, 75, 10, ""},
    ControlTemplate{ControlKind::Edit, 1033, 141, 30, 40, 14, ""},
    ControlTemplate{ControlKind::UpDown, 1040, 177, 30, 11, 14, ""},
    ControlTemplate{ControlKind::ComboBox, 1041, 187, 32, 45, 70, ""},
    ControlTemplate{ControlKind::PushButton, 1042, 161, 51, 50, 14, ""},
};

constexpr std::array kSystemControls = {
    ControlTemplate{ControlKind::GroupBox, 1204, 3, 3, 135, 88, ""},
    ControlTemplate{ControlKind::CheckBox, 1030, 15, 16, 38, 10, ""},
    ControlTemplate{ControlKind::PushButton, 1031, 67, 14, 50, 14, ""},
    ControlTemplate{ControlKind::Label, 1209, 10, 36, 35, 8, ""},
    ControlTemplate{ControlKind::DatePicker, 1011, 45, 34, 90, 15, ""},
    ControlTemplate{ControlKind::Label, 1210, 7, 57, 38, 8, ""},
    ControlTemplate{ControlKind::DatePicker, 1023, 45, 54, 90, 15, ""},
    ControlTemplate{ControlKind::CheckBox, 1050, 47, 75, 51, 10, ""},
    ControlTemplate{ControlKind::GroupBox, 1206, 142, 3, 105, 37, ""},
    ControlTemplate{ControlKind::Edit, 1102, 154, 14, 40, 14, ""},
    ControlTemplate{ControlKind::UpDown, 1024, 190, 14, 11, 14, ""},
    ControlTemplate{ControlKind::Label, 1208, 199, 18, 40, 8, ""},
    ControlTemplate{ControlKind::GroupBox, 1205, 142, 41, 105, 50, ""},
    ControlTemplate{ControlKind::ComboBox, 1002, 155, 53, 49, 50, ""},
    ControlTemplate{ControlKind::Edit, 1003, 150, 70, 40, 14, ""},
    ControlTemplate{ControlKind::UpDown, 1000, 237, 70, 11, 14, ""},
    ControlTemplate{ControlKind::ComboBox, 1101, 195, 70, 45, 70, ""},
    ControlTemplate{ControlKind::GroupBox, 1203, 3, 94, 177, 52, ""},
    ControlTemplate{ControlKind::Label, 1211, 9, 110, 65, 8, ""},
    ControlTemplate{ControlKind::ComboBox, 1020, 76, 108, 100, 100, ""},
    ControlTemplate{ControlKind::Label, 1212, 9, 126, 65, 8, ""},
    ControlTemplate{ControlKind::ComboBox, 1032, 76, 124, 100, 100, ""},
    ControlTemplate{ControlKind::GroupBox, 1207, 184, 94, 63, 52, ""},
    ControlTemplate{ControlKind::PushButton, 1051, 190, 106, 52, 14, ""},
    ControlTemplate{ControlKind::PushButton, 1052, 190, 125, 52, 14, ""},
};

constexpr std::array kMiscControls = {
    ControlTemplate{ControlKind::GroupBox, 1213, 3, 3, 244, 70, ""},
    ControlTemplate{ControlKind::CheckBox, 1001, 10, 14, 55, 10, ""},
    ControlTemplate{ControlKind::CheckBox, 1043, 10, 26, 55, 10, ""},
    ControlTemplate{ControlKind::CheckBox, 1046, 10, 38, 55, 10, ""},
    ControlTemplate{ControlKind::CheckBox, 1044, 70, 14, 55, 10, ""},
    ControlTemplate{ControlKind::CheckBox, 1045, 70, 26, 55, 10, ""},
    ControlTemplate{ControlKind::CheckBox, 1049, 70, 38, 55, 10, ""},
    ControlTemplate{ControlKind::CheckBox, 1048, 130, 14, 55, 10, ""},
    ControlTemplate{ControlKind::CheckBox, 1047, 130, 26, 55, 10, ""},
    ControlTemplate{ControlKind::PushButton, 1012, 195, 23, 40, 14, ""},
    ControlTemplate{ControlKind::CheckBox, 1039, 7, 78, 55, 10, ""},
    ControlTemplate{ControlKind::CheckBox, 1019, 7, 94, 55, 10, ""},
    ControlTemplate{ControlKind::CheckBox, 1026, 7, 110, 55, 10, ""},
    ControlTemplate{ControlKind::CheckBox, 1021, 67, 78, 55, 10, ""},
    ControlTemplate{ControlKind::CheckBox, 1015, 67, 94, 55, 10, ""},
    ControlTemplate{ControlKind::CheckBox, 1038, 67, 110, 55, 10, ""},
    ControlTemplate{ControlKind::CheckBox, 1014, 137, 78, 55, 10, ""},
    ControlTemplate{ControlKind::PushButton, 7, 153, 135, 45, 14, ""},
    ControlTemplate{ControlKind::PushButton, 6, 202, 135, 45, 14, ""},
};

// The QuestionBox: the question, and large yes and no buttons.
constexpr std::array kQuestionControls = {
    ControlTemplate{ControlKind::Icon, -1, 4, 4, 20, 20, ""},
    ControlTemplate{ControlKind::Label, kIdQuestionText, 35, 3, 210, 34, ""},
    ControlTemplate{ControlKind::DefaultPushButton, kIdQuestionYes, 46, 43, 200, 35, ""},
    ControlTemplate{ControlKind::PushButton, kIdQuestionNo, 46, 83, 200, 35, ""},
};

// The time-zone dialog: the zone, its two phases, the lock.
constexpr std::array kTimeZoneControls = {
    ControlTemplate{ControlKind::Label, 1214, 4, 4, 60, 8, ""},
    ControlTemplate{ControlKind::Label, 1028, 68, 4, 190, 8, ""},
    ControlTemplate{ControlKind::Label, 1215, 4, 14, 60, 8, ""},
    ControlTemplate{ControlKind::Label, 1029, 68, 14, 100, 8, ""},
    ControlTemplate{ControlKind::Label, 1216, 4, 24, 60, 8, ""},
    ControlTemplate{ControlKind::Label, 1033, 68, 24, 100, 8, ""},
    ControlTemplate{ControlKind::GroupBox, 1217, 4, 36, 126, 52, ""},
    ControlTemplate{ControlKind::Label, 1218, 8, 46, 24, 8, ""},
    ControlTemplate{ControlKind::Label, 1040, 36, 46, 92, 8, ""},
    ControlTemplate{ControlKind::Label, 1219, 8, 56, 24, 8, ""},
    ControlTemplate{ControlKind::Label, 1041, 36, 56, 92, 8, ""},
    ControlTemplate{ControlKind::Label, 1220, 8, 66, 24, 8, ""},
    ControlTemplate{ControlKind::Label, 1042, 36, 66, 92, 8, ""},
    ControlTemplate{ControlKind::GroupBox, 1221, 134, 36, 126, 52, ""},
    ControlTemplate{ControlKind::Label, 1222, 138, 46, 24, 8, ""},
    ControlTemplate{ControlKind::Label, 1043, 166, 46, 92, 8, ""},
    ControlTemplate{ControlKind::Label, 1223, 138, 56, 24, 8, ""},
    ControlTemplate{ControlKind::Label, 1044, 166, 56, 92, 8, ""},
    ControlTemplate{ControlKind::Label, 1224, 138, 66, 24, 8, ""},
    ControlTemplate{ControlKind::Label, 1045, 166, 66, 92, 8, ""},
    ControlTemplate{ControlKind::CheckBox, 1046, 4, 94, 120, 10, ""},
    ControlTemplate{ControlKind::PushButton, 6, 150, 94, 50, 14, ""},
    ControlTemplate{ControlKind::DefaultPushButton, 1, 206, 94, 50, 14, ""},
};

// The "SyncScan" window: one list view filling it.
constexpr std::array kScanControls = {
    ControlTemplate{ControlKind::ListView, kIdScanList, 0, 0, 300, 150, ""},
};

}  // namespace

const gui::DialogTemplate kServersPage{"1026", "", 250, 149, kServersControls};
const gui::DialogTemplate kAutoPage{"1016", "", 250, 150, kAutoControls};
const gui::DialogTemplate kSystemPage{"1028", "", 250, 150, kSystemControls};
const gui::DialogTemplate kMiscPage{"1027", "", 250, 150, kMiscControls};
const gui::DialogTemplate kQuestionBox{"1601", "Tavrel 1.5", 250, 122, kQuestionControls};
const gui::DialogTemplate kTimeZoneDialog{"1001", "Time Zone", 262, 112, kTimeZoneControls};
const gui::DialogTemplate kScanWindow{"SyncScan", "Scanning Servers", 300, 150, kScanControls};

const gui::DialogTemplate kMainDialog{"MAINDIALOG", "Tavrel", 267, 79, kMainControls};
const gui::DialogTemplate kAboutDialog{"ABOUT", "About Tavrel", 263, 97, kAboutControls};

}  // namespace tavrel
