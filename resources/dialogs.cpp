#include "resources/dialogs.h"

#include <array>

#include "storage/string_slots.h"
#include "resources/program_name.h"

namespace tavrel {
namespace {

using gui::ControlKind;
using gui::ControlTemplate;

// A control whose text and tooltip come from the string table.
// Its first text shows until the window applies the slots.
constexpr ControlTemplate control(ControlKind kind, int id, int x, int y, int width, int height, int textSlot,
                                  int tooltipSlot = -1, const char* first = "") {
    return ControlTemplate{kind, id, x, y, width, height, first, textSlot, tooltipSlot};
}
// A control the window fills itself (a tooltip may still come from the table).
constexpr ControlTemplate plain(ControlKind kind, int id, int x, int y, int width, int height, const char* text = "",
                                int tooltipSlot = -1) {
    return ControlTemplate{kind, id, x, y, width, height, text, -1, tooltipSlot};
}
// The same control starting a group of controls.
constexpr ControlTemplate grouped(ControlTemplate c) {
    c.group = true;
    return c;
}

constexpr std::array kMainControls = {
    control(ControlKind::DefaultPushButton, kIdCheckButton, 30, 63, 50, 14, kSlotCheck, kSlotCheckTip, "Check"),
    control(ControlKind::PushButton, kIdCorrectButton, 83, 63, 50, 14, kSlotCorrect, -1, "Correct"),
    control(ControlKind::PushButton, kIdOptionsButton, 136, 63, 42, 14, kSlotOptions, kSlotOptionsTip, "Options"),
    control(ControlKind::PushButton, kIdTimeZoneButton, 180, 63, 42, 14, kSlotTimeZone, kSlotTimeZoneTip,
            "Time Zone"),
    control(ControlKind::PushButton, kIdAboutButton, 224, 63, 42, 14, kSlotAbout, kSlotAboutTip, "About"),
    plain(ControlKind::Icon, -1, 3, 58, 20, 20),
    plain(ControlKind::Label, kIdComputerName, 3, 3, 126, 8),
    plain(ControlKind::SunkenStatic, kIdLocalClock, 3, 14, 130, 25),
    control(ControlKind::Label, kIdServerName, 136, 3, 128, 8, kSlotServer, -1, "Server"),
    control(ControlKind::SunkenStatic, kIdServerClock, 136, 14, 130, 25, kSlotNotCheckedYet, -1, "Not Checked Yet"),
    plain(ControlKind::SunkenStatic, kIdStatusLine, 3, 43, 263, 10),
};

constexpr std::array kAboutControls = {
    plain(ControlKind::Icon, -1, 4, 4, 20, 20),
    plain(ControlKind::Label, kIdAboutTitle, 28, 4, 230, 8, kProgramTitle),
    control(ControlKind::Label, kIdAboutLine1, 28, 16, 230, 8, kSlotAboutLine1),
    control(ControlKind::Label, kIdAboutLine2, 28, 24, 230, 8, kSlotAboutLine2),
    control(ControlKind::Label, kIdAboutLine3, 28, 32, 230, 8, kSlotAboutLine3),
    plain(ControlKind::Label, kIdAboutProgramDir, 4, 48, 254, 8),
    plain(ControlKind::Label, kIdAboutDataDir, 4, 56, 254, 8),
    plain(ControlKind::Label, kIdAboutSystem, 4, 64, 254, 8),
    control(ControlKind::DefaultPushButton, kIdAboutOk, 108, 80, 50, 14, kSlotOk, -1, "OK"),
};

// The four pages of the Options sheet.
constexpr std::array kServersControls = {
    // Use List, Manual A and Manual B are one group, next to each other in
    // the Tab order (the arrows move between them); the fields they enable
    // follow, in a group of their own.
    grouped(control(ControlKind::RadioButton, kIdUseList, 4, 6, 50, 10, kSlotUseList, kSlotUseListTip)),
    control(ControlKind::RadioButton, kIdUseManualA, 4, 57, 50, 10, kSlotManualA, kSlotManualTip),
    control(ControlKind::RadioButton, kIdUseManualB, 4, 74, 50, 10, kSlotManualB, kSlotManualTip),
    grouped(plain(ControlKind::ComboBox, kIdServerCombo, 59, 5, 110, 254, "", kSlotServerComboTip)),
    control(ControlKind::CheckBox, kIdDefaultOnly, 65, 31, 100, 9, kSlotDefaultOnly, kSlotDefaultOnlyTip),
    plain(ControlKind::IpAddress, kIdManualA, 59, 56, 110, 14, "", kSlotAddressTip),
    plain(ControlKind::IpAddress, kIdManualB, 59, 73, 110, 14, "", kSlotAddressTip),
    control(ControlKind::Label, kIdProtocolLabel, 6, 102, 40, 8, kSlotProtocol),
    plain(ControlKind::ComboBox, kIdProtocol, 59, 100, 110, 70, "", kSlotProtocolTip),
    control(ControlKind::PushButton, kIdEditList, 188, 5, 55, 14, kSlotEditList, kSlotEditListTip),
    control(ControlKind::PushButton, kIdRefreshList, 188, 22, 55, 14, kSlotRefresh, kSlotRefreshTip),
    control(ControlKind::PushButton, kIdScan, 188, 39, 55, 14, kSlotScan, kSlotScanTip),
    // Last, so that the controls before it keep their access keys. Greyed
    // unless the list is in use and holds an nts:// entry.
    plain(ControlKind::CheckBox, kIdAuthenticatedOnly, 59, 120, 140, 10, "Use authenticated servers only"),
};

constexpr std::array kAutoControls = {
    control(ControlKind::GroupBox, kIdAutoSyncGroup, 3, 3, 118, 73, kSlotAutoSync),
    control(ControlKind::CheckBox, kIdAutoSyncOn, 25, 16, 75, 10, kSlotAutoSyncEvery, kSlotAutoSyncTip),
    plain(ControlKind::Edit, kIdAutoSyncCount, 19, 31, 40, 14, "", kSlotAutoSyncCountTip),
    plain(ControlKind::UpDown, kIdUpDownAutoSync, 55, 31, 11, 14),
    plain(ControlKind::ComboBox, kIdAutoSyncUnit, 65, 32, 45, 70, "", kSlotAutoSyncUnitTip),
    control(ControlKind::PushButton, kIdResetAutoSync, 39, 51, 50, 14, kSlotReset, kSlotResetAutoSyncTip),
    control(ControlKind::GroupBox, kIdAutoCheckGroup, 125, 3, 118, 73, kSlotAutoCheck),
    control(ControlKind::CheckBox, kIdAutoCheckOn, 147, 16, 75, 10, kSlotAutoCheckEvery, kSlotAutoCheckTip),
    plain(ControlKind::Edit, kIdAutoCheckCount, 141, 30, 40, 14, "", kSlotAutoCheckCountTip),
    plain(ControlKind::UpDown, kIdUpDownAutoCheck, 177, 30, 11, 14),
    plain(ControlKind::ComboBox, kIdAutoCheckUnit, 187, 32, 45, 70, "", kSlotAutoCheckUnitTip),
    control(ControlKind::PushButton, kIdResetAutoCheck, 161, 51, 50, 14, kSlotReset, kSlotResetAutoCheckTip),
};

constexpr std::array kSystemControls = {
    control(ControlKind::GroupBox, kIdDateRangeGroup, 3, 3, 135, 88, kSlotDateRanges),
    control(ControlKind::CheckBox, kIdDateRangeOn, 15, 16, 38, 10, kSlotEnable, kSlotDateRangeTip),
    control(ControlKind::PushButton, kIdResetDateRange, 67, 14, 50, 14, kSlotReset, kSlotResetDateRangeTip),
    control(ControlKind::Label, kIdAfterLabel, 10, 36, 35, 8, kSlotAfter),
    plain(ControlKind::DatePicker, kIdDateLow, 45, 34, 90, 15, "", kSlotDateLowTip),
    control(ControlKind::Label, kIdBeforeLabel, 7, 57, 38, 8, kSlotButBefore),
    plain(ControlKind::DatePicker, kIdDateHigh, 45, 54, 90, 15, "", kSlotDateHighTip),
    control(ControlKind::CheckBox, kIdDateAutoReset, 47, 75, 51, 10, kSlotAutoReset, kSlotDateAutoResetTip),
    control(ControlKind::GroupBox, kIdTimeoutGroup, 142, 3, 105, 37, kSlotSyncTimeOut),
    plain(ControlKind::Edit, kIdSyncTimeout, 154, 14, 40, 14, "", kSlotTimeOutTip),
    plain(ControlKind::UpDown, kIdUpDownTimeout, 190, 14, 11, 14),
    control(ControlKind::Label, kIdSecondsLabel, 199, 18, 40, 8, kSlotSecondsLabel),
    control(ControlKind::GroupBox, kIdOffsetGroup, 142, 41, 105, 50, kSlotOffset),
    plain(ControlKind::ComboBox, kIdOffsetDirection, 155, 53, 49, 50, "", kSlotOffsetDirectionTip),
    plain(ControlKind::Edit, kIdOffsetAmount, 150, 70, 40, 14, "", kSlotOffsetAmountTip),
    plain(ControlKind::UpDown, kIdUpDownOffset, 237, 70, 11, 14),
    plain(ControlKind::ComboBox, kIdOffsetUnit, 195, 70, 45, 70, "", kSlotOffsetMultiplier),
    control(ControlKind::GroupBox, kIdStartupGroup, 3, 94, 177, 52, kSlotStartup),
    control(ControlKind::Label, kIdWindowsStartLabel, 9, 110, 65, 8, kSlotOnWindowsStart),
    plain(ControlKind::ComboBox, kIdWindowsStart, 76, 108, 100, 100, "", kSlotWindowsStartTip),
    control(ControlKind::Label, kIdProgramStartLabel, 9, 126, 65, 8, kSlotOnTavrelStart),
    plain(ControlKind::ComboBox, kIdProgramStart, 76, 124, 100, 100, "", kSlotProgramStartTip),
    control(ControlKind::GroupBox, kIdServiceGroup, 184, 94, 63, 52, kSlotService),
    plain(ControlKind::PushButton, kIdServiceInstall, 190, 106, 52, 14),
    plain(ControlKind::PushButton, kIdServiceRun, 190, 125, 52, 14),
};

constexpr std::array kMiscControls = {
    control(ControlKind::GroupBox, kIdLogGroup, 3, 3, 244, 70, kSlotLog),
    control(ControlKind::CheckBox, kIdNoLog, 10, 14, 55, 10, kSlotNoLog, kSlotNoLogTip),
    control(ControlKind::CheckBox, kIdLogSyncs, 10, 26, 55, 10, kSlotSyncs, kSlotLogSyncsTip),
    control(ControlKind::CheckBox, kIdLogChecks, 10, 38, 55, 10, kSlotChecks, kSlotLogChecksTip),
    control(ControlKind::CheckBox, kIdLogErrors, 70, 14, 55, 10, kSlotErrors, kSlotLogErrorsTip),
    control(ControlKind::CheckBox, kIdLogServer, 70, 26, 55, 10, kSlotServer, kSlotLogServerTip),
    control(ControlKind::CheckBox, kIdLogOld, 70, 38, 55, 10, kSlotOld, kSlotLogOldTip),
    control(ControlKind::CheckBox, kIdLogResponse, 130, 14, 55, 10, kSlotResponse, kSlotLogResponseTip),
    control(ControlKind::CheckBox, kIdLogCorrection, 130, 26, 55, 10, kSlotCorrection, kSlotLogCorrectionTip),
    control(ControlKind::PushButton, kIdViewLog, 195, 23, 40, 14, kSlotViewLog, kSlotViewLogTip),
    control(ControlKind::CheckBox, kIdMinor, 7, 78, 55, 10, kSlotMinor, kSlotMinorTip),
    control(ControlKind::CheckBox, kIdTray, 7, 94, 55, 10, kSlotTray, kSlotTrayTip),
    control(ControlKind::CheckBox, kIdResident, 7, 110, 55, 10, kSlotResident, kSlotResidentTip),
    control(ControlKind::CheckBox, kIdMinimise, 67, 78, 55, 10, kSlotMinimise, kSlotStartMinimisedTip),
    control(ControlKind::CheckBox, kIdOnTop, 67, 94, 55, 10, kSlotOnTop, kSlotOnTopTip),
    control(ControlKind::CheckBox, kIdTimeServer, 67, 110, 55, 10, kSlotServer, kSlotTimeServerTip),
    control(ControlKind::CheckBox, kIdAverage, 137, 78, 55, 10, kSlotAverage, kSlotAverageTip),
    plain(ControlKind::CheckBox, kIdSlew, 137, 94, 105, 10, "Slew small corrections"),
    control(ControlKind::PushButton, kIdResetDefaults, 153, 135, 45, 14, kSlotReset, kSlotResetDefaultsTip),
    control(ControlKind::PushButton, kIdHelp, 202, 135, 45, 14, kSlotHelp, kSlotHelpTip),
};

// The QuestionBox: the question, and large yes and no buttons.
constexpr std::array kQuestionControls = {
    plain(ControlKind::Icon, -1, 4, 4, 20, 20),
    plain(ControlKind::Label, kIdQuestionText, 35, 3, 210, 34),
    // "No" first and the default: the question asks before something that
    // cannot be undone, so a stray Enter must answer No.
    plain(ControlKind::DefaultPushButton, kIdQuestionNo, 46, 83, 200, 35),
    plain(ControlKind::PushButton, kIdQuestionYes, 46, 43, 200, 35),
};

// The time-zone dialog: the zone, its two phases, the lock.
constexpr std::array kTimeZoneControls = {
    control(ControlKind::Label, kIdZoneNameLabel, 4, 4, 60, 8, kSlotName),
    plain(ControlKind::Label, kIdZoneDisplayName, 68, 4, 190, 8),
    control(ControlKind::Label, kIdZonePhaseLabel, 4, 14, 60, 8, kSlotCurrentPhase),
    plain(ControlKind::Label, kIdZonePhase, 68, 14, 100, 8),
    control(ControlKind::Label, kIdZoneBiasLabel, 4, 24, 60, 8, kSlotBias),
    plain(ControlKind::Label, kIdZoneBias, 68, 24, 100, 8),
    control(ControlKind::GroupBox, kIdZoneStandardGroup, 4, 36, 126, 52, kSlotStandardGroup),
    control(ControlKind::Label, kIdZoneStandardNameLabel, 8, 46, 24, 8, kSlotName),
    plain(ControlKind::Label, kIdZoneStandardName, 36, 46, 92, 8),
    control(ControlKind::Label, kIdZoneStandardDateLabel, 8, 56, 24, 8, kSlotDate),
    plain(ControlKind::Label, kIdZoneStandardDate, 36, 56, 92, 8),
    control(ControlKind::Label, kIdZoneStandardBiasLabel, 8, 66, 24, 8, kSlotBias),
    plain(ControlKind::Label, kIdZoneStandardBias, 36, 66, 92, 8),
    control(ControlKind::GroupBox, kIdZoneDaylightGroup, 134, 36, 126, 52, kSlotDaylightGroup),
    control(ControlKind::Label, kIdZoneDaylightNameLabel, 138, 46, 24, 8, kSlotName),
    plain(ControlKind::Label, kIdZoneDaylightName, 166, 46, 92, 8),
    control(ControlKind::Label, kIdZoneDaylightDateLabel, 138, 56, 24, 8, kSlotDate),
    plain(ControlKind::Label, kIdZoneDaylightDate, 166, 56, 92, 8),
    control(ControlKind::Label, kIdZoneDaylightBiasLabel, 138, 66, 24, 8, kSlotBias),
    plain(ControlKind::Label, kIdZoneDaylightBias, 166, 66, 92, 8),
    control(ControlKind::CheckBox, kIdZoneLock, 4, 94, 120, 10, kSlotLockZone, kSlotLockZoneTip),
    control(ControlKind::PushButton, kIdZoneHelp, 150, 94, 50, 14, kSlotHelp),
    control(ControlKind::DefaultPushButton, kIdZoneOk, 206, 94, 50, 14, kSlotZoneOk),
};

// The "SyncScan" window: one list view filling it.
constexpr std::array kScanControls = {
    plain(ControlKind::ListView, kIdScanList, 0, 0, 300, 128),
    plain(ControlKind::PushButton, kIdScanSort, 220, 134, 76, 14, "Sort by response"),
};

constexpr std::array kHistoryControls = {
    plain(ControlKind::Label, kIdHistoryOffsetText, 4, 2, 292, 8),
    plain(ControlKind::Chart, kIdHistoryOffsetChart, 4, 14, 292, 56),
    plain(ControlKind::Label, kIdHistoryRoundTripText, 4, 76, 292, 8),
    plain(ControlKind::Chart, kIdHistoryRoundTripChart, 4, 88, 292, 56),
    grouped(plain(ControlKind::RadioButton, kIdHistoryDay, 4, 152, 48, 10, "Last day")),
    plain(ControlKind::RadioButton, kIdHistoryWeek, 60, 152, 52, 10, "Last week"),
    plain(ControlKind::RadioButton, kIdHistoryAll, 120, 152, 30, 10, "All"),
    grouped(plain(ControlKind::DefaultPushButton, gui::kIdOk, 240, 150, 56, 14, "OK")),
    plain(ControlKind::Label, kIdHistorySkipped, 4, 168, 292, 8),
};

}  // namespace

const gui::DialogTemplate kHistoryDialog{"History", "Clock History", 300, 180, kHistoryControls};
const gui::DialogTemplate kServersPage{"1026", "", 250, 149, kServersControls};
const gui::DialogTemplate kAutoPage{"1016", "", 250, 150, kAutoControls};
const gui::DialogTemplate kSystemPage{"1028", "", 250, 150, kSystemControls};
const gui::DialogTemplate kMiscPage{"1027", "", 250, 150, kMiscControls};
const gui::DialogTemplate kQuestionBox{"1601", kProgramTitle, 250, 122, kQuestionControls};
// Only OK closes the time-zone dialog: it has no close box.
const gui::DialogTemplate kTimeZoneDialog{"1001", "Time Zone", 262, 112, kTimeZoneControls, false};
const gui::DialogTemplate kScanWindow{"SyncScan", "Scanning Servers", 300, 150, kScanControls};

const gui::DialogTemplate kMainDialog{"MAINDIALOG", "Tavrel", 267, 79, kMainControls};
const gui::DialogTemplate kAboutDialog{"ABOUT", "About Tavrel", 263, 97, kAboutControls};

}  // namespace tavrel
