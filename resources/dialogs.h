// Dialog templates: every control's kind, id, position and size in dialog
// units, its first text, and the string-table slots of its text and tooltip
// (the windows set both from the string table). Every control id is named
// here once.
#pragma once

#include "gui/dialog.h"

namespace tavrel {

// The main window.
inline constexpr int kIdCheckButton = 1;
inline constexpr int kIdCorrectButton = 3;
inline constexpr int kIdAboutButton = 5;
inline constexpr int kIdOptionsButton = 101;
inline constexpr int kIdStatusLine = 1000;
inline constexpr int kIdTimeZoneButton = 1001;
inline constexpr int kIdLocalClock = 1029;
inline constexpr int kIdServerClock = 1030;
inline constexpr int kIdComputerName = 1031;
inline constexpr int kIdServerName = 1032;
extern const gui::DialogTemplate kMainDialog;

// About (dialog 1025).
inline constexpr int kIdAboutOk = 1;
inline constexpr int kIdAboutTitle = 1101;
inline constexpr int kIdAboutLine1 = 1102;
inline constexpr int kIdAboutLine2 = 1103;
inline constexpr int kIdAboutLine3 = 1104;
inline constexpr int kIdAboutProgramDir = 1105;
inline constexpr int kIdAboutDataDir = 1106;
inline constexpr int kIdAboutSystem = 1107;
extern const gui::DialogTemplate kAboutDialog;

// The Options sheet's pages: Servers (1026), Auto (1016), System (1028), Misc (1027).
inline constexpr int kIdHelp = 6;
inline constexpr int kIdResetDefaults = 7;
inline constexpr int kIdUpDownOffset = 1000;
inline constexpr int kIdNoLog = 1001;
inline constexpr int kIdOffsetDirection = 1002;
inline constexpr int kIdOffsetAmount = 1003;
inline constexpr int kIdDefaultOnly = 1004;
inline constexpr int kIdManualA = 1007;
inline constexpr int kIdManualB = 1008;
inline constexpr int kIdResetAutoSync = 1009;
inline constexpr int kIdUpDownAutoSync = 1010;
inline constexpr int kIdDateLow = 1011;
inline constexpr int kIdViewLog = 1012;
inline constexpr int kIdProtocol = 1013;
inline constexpr int kIdAverage = 1014;
inline constexpr int kIdOnTop = 1015;
inline constexpr int kIdAutoSyncOn = 1016;
inline constexpr int kIdAutoSyncUnit = 1017;
inline constexpr int kIdAutoSyncCount = 1018;
inline constexpr int kIdTray = 1019;
inline constexpr int kIdWindowsStart = 1020;
inline constexpr int kIdMinimise = 1021;
inline constexpr int kIdEditList = 1022;
inline constexpr int kIdDateHigh = 1023;
inline constexpr int kIdUpDownTimeout = 1024;
inline constexpr int kIdResident = 1026;
inline constexpr int kIdRefreshList = 1027;
inline constexpr int kIdScan = 1028;
inline constexpr int kIdAutoCheckOn = 1029;
inline constexpr int kIdDateRangeOn = 1030;
inline constexpr int kIdResetDateRange = 1031;
inline constexpr int kIdProgramStart = 1032;
inline constexpr int kIdAutoCheckCount = 1033;
inline constexpr int kIdServerCombo = 1034;
inline constexpr int kIdUseList = 1035;
inline constexpr int kIdUseManualA = 1036;
inline constexpr int kIdUseManualB = 1037;
inline constexpr int kIdTimeServer = 1038;
inline constexpr int kIdMinor = 1039;
inline constexpr int kIdUpDownAutoCheck = 1040;
inline constexpr int kIdAutoCheckUnit = 1041;
inline constexpr int kIdResetAutoCheck = 1042;
inline constexpr int kIdLogSyncs = 1043;
inline constexpr int kIdLogErrors = 1044;
inline constexpr int kIdLogServer = 1045;
inline constexpr int kIdLogChecks = 1046;
inline constexpr int kIdLogCorrection = 1047;
inline constexpr int kIdLogResponse = 1048;
inline constexpr int kIdLogOld = 1049;
inline constexpr int kIdDateAutoReset = 1050;
inline constexpr int kIdServiceInstall = 1051;
inline constexpr int kIdServiceRun = 1052;
inline constexpr int kIdSlew = 1053;
inline constexpr int kIdAuthenticatedOnly = 1054;
inline constexpr int kIdOffsetUnit = 1101;
inline constexpr int kIdSyncTimeout = 1102;
// Labels and group boxes of the pages.
inline constexpr int kIdProtocolLabel = 1200;
inline constexpr int kIdAutoSyncGroup = 1201;
inline constexpr int kIdAutoCheckGroup = 1202;
inline constexpr int kIdStartupGroup = 1203;
inline constexpr int kIdDateRangeGroup = 1204;
inline constexpr int kIdOffsetGroup = 1205;
inline constexpr int kIdTimeoutGroup = 1206;
inline constexpr int kIdServiceGroup = 1207;
inline constexpr int kIdSecondsLabel = 1208;
inline constexpr int kIdAfterLabel = 1209;
inline constexpr int kIdBeforeLabel = 1210;
inline constexpr int kIdWindowsStartLabel = 1211;
inline constexpr int kIdProgramStartLabel = 1212;
inline constexpr int kIdLogGroup = 1213;
extern const gui::DialogTemplate kServersPage;
extern const gui::DialogTemplate kAutoPage;
extern const gui::DialogTemplate kSystemPage;
extern const gui::DialogTemplate kMiscPage;

// The QuestionBox (dialog 1601).
inline constexpr int kIdQuestionYes = 1;
inline constexpr int kIdQuestionNo = 2;
inline constexpr int kIdQuestionText = 1601;
extern const gui::DialogTemplate kQuestionBox;

// The time-zone dialog (dialog 1001).
inline constexpr int kIdZoneOk = 1;
inline constexpr int kIdZoneHelp = 6;
inline constexpr int kIdZoneDisplayName = 1028;
inline constexpr int kIdZonePhase = 1029;
inline constexpr int kIdZoneBias = 1033;
inline constexpr int kIdZoneStandardName = 1040;
inline constexpr int kIdZoneStandardDate = 1041;
inline constexpr int kIdZoneStandardBias = 1042;
inline constexpr int kIdZoneDaylightName = 1043;
inline constexpr int kIdZoneDaylightDate = 1044;
inline constexpr int kIdZoneDaylightBias = 1045;
inline constexpr int kIdZoneLock = 1046;
inline constexpr int kIdZoneNameLabel = 1214;
inline constexpr int kIdZonePhaseLabel = 1215;
inline constexpr int kIdZoneBiasLabel = 1216;
inline constexpr int kIdZoneStandardGroup = 1217;
inline constexpr int kIdZoneStandardNameLabel = 1218;
inline constexpr int kIdZoneStandardDateLabel = 1219;
inline constexpr int kIdZoneStandardBiasLabel = 1220;
inline constexpr int kIdZoneDaylightGroup = 1221;
inline constexpr int kIdZoneDaylightNameLabel = 1222;
inline constexpr int kIdZoneDaylightDateLabel = 1223;
inline constexpr int kIdZoneDaylightBiasLabel = 1224;
extern const gui::DialogTemplate kTimeZoneDialog;

// The server scan's window, its list view and its "Sort by response".
inline constexpr int kIdScanList = 1;
inline constexpr int kIdScanSort = 3;
extern const gui::DialogTemplate kScanWindow;

// The History view: the offset and the round trip against time, with
// their figures, over the last day, week or all.
inline constexpr int kIdHistoryOffsetText = 10;
inline constexpr int kIdHistoryOffsetChart = 11;
inline constexpr int kIdHistoryRoundTripText = 12;
inline constexpr int kIdHistoryRoundTripChart = 13;
inline constexpr int kIdHistoryDay = 14;
inline constexpr int kIdHistoryWeek = 15;
inline constexpr int kIdHistoryAll = 16;
inline constexpr int kIdHistorySkipped = 17;
extern const gui::DialogTemplate kHistoryDialog;

}  // namespace tavrel
