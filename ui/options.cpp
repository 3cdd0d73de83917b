#include "ui/options.h"

#include <functional>
#include <vector>

#include "app/service.h"
#include "app/startup.h"
#include "engine/clock_privilege.h"
#include "platform/process.h"
#include "resources/dialogs.h"
#include "servers/server_combo.h"
#include "servers/server_list.h"
#include "servers/server_scan.h"
#include "storage/data_directory.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "timeservice/time_servers.h"
#include "ui/control_texts.h"
#include "ui/main_window.h"

namespace tavrel {

std::atomic<int32_t> optionsOpen{0};

namespace {

using gui::WindowHandle;

constexpr char kSheetCaption[] = "Tavrel 1.5";
constexpr char kReadMeFileName[] = "ReadMe.htm";
constexpr char kErrorCaption[] = "Tavrel.exe";
constexpr char kStringsNotWritten[] = "Strings.txt could not be written; it keeps its texts.";
constexpr char kSettingsNotSaved[] = "vIvod.dat could not be written; it keeps the settings saved before.";
constexpr int kServiceTimerId = 1;
constexpr uint32_t kServiceRequeryMs = 1000;

// Control ids of the pages.
enum : int {
    kHelp = 6, kResetDefaults = 7,
    kUpDownOffset = 1000, kNoLog = 1001, kOffsetDirection = 1002, kOffsetAmount = 1003, kDefaultOnly = 1004,
    kManualA = 1007, kManualB = 1008, kResetAutoSync = 1009, kUpDownAutoSync = 1010, kDateLow = 1011,
    kViewLog = 1012, kProtocol = 1013, kAverage = 1014, kOnTop = 1015, kAutoSyncOn = 1016, kAutoSyncUnit = 1017,
    kAutoSyncCount = 1018, kTray = 1019, kWindowsStart = 1020, kMinimise = 1021, kEditList = 1022,
    kDateHigh = 1023, kUpDownTimeout = 1024, kResident = 1026, kRefreshList = 1027, kScan = 1028,
    kAutoCheckOn = 1029, kDateRangeOn = 1030, kResetDateRange = 1031, kProgramStart = 1032, kAutoCheckCount = 1033,
    kServerCombo = 1034, kUseList = 1035, kUseManualA = 1036, kUseManualB = 1037, kTimeServer = 1038,
    kMinor = 1039, kUpDownAutoCheck = 1040, kAutoCheckUnit = 1041, kResetAutoCheck = 1042, kLogSyncs = 1043,
    kLogErrors = 1044, kLogServer = 1045, kLogChecks = 1046, kLogCorrection = 1047, kLogResponse = 1048,
    kLogOld = 1049, kDateAutoReset = 1050, kServiceInstall = 1051, kServiceRun = 1052, kOffsetUnit = 1101,
    kSyncTimeout = 1102,
};

constexpr int kSlotServers = 7, kSlotAuto = 38, kSlotSystem = 62, kSlotMisc = 44;
constexpr int kSlotSeconds = 20, kSlotMinutes = 97, kSlotHours = 98, kSlotDays = 99;
constexpr int kSlotAdd = 77, kSlotSubtract = 78, kSlotAutoProtocol = 38;
constexpr int kSlotDoNothing = 115, kSlotAutoStart = 116, kSlotAutoStartSync = 117, kSlotCheckServer = 118,
              kSlotCorrectTime = 119;
constexpr int kSlotRemove = 174, kSlotStop = 175, kSlotRun = 176, kSlotInstall = 177;
constexpr int kSlotInstallTip = 202, kSlotUninstallTip = 203, kSlotRunTip = 204, kSlotStopTip = 205,
              kSlotElevateTip = 212;
constexpr int kSlotResetQuestion = 120, kSlotYes = 121, kSlotNo = 106;

std::atomic<WindowHandle> mainWindowOfSheet{gui::kNoWindow};
// The program the open sheet belongs to (none for pages made alone).
WindowProgram* sheetProgram = nullptr;

void fillCombo(WindowHandle page, int id, const std::vector<std::string>& entries) {
    gui::comboReset(page, id);
    for (size_t i = 0; i < entries.size(); ++i) gui::comboInsert(page, id, static_cast<int>(i), entries[i]);
}

bool checked(WindowHandle page, int id) { return gui::isDlgButtonChecked(page, id); }
void check(WindowHandle page, int id, const Word<int32_t>& flag) { gui::checkDlgButton(page, id, flag.load() != 0); }

// A count edit read back as unsigned and clamped (an empty field reads 0).
uint32_t readCount(WindowHandle page, int id, uint32_t low, uint32_t high) {
    bool ok = false;
    const long value = gui::getDlgItemInt(page, id, ok);
    const unsigned long raw = ok ? static_cast<unsigned long>(value) : 0;
    return static_cast<uint32_t>(raw < low ? low : raw > high ? high : raw);
}

void enable(WindowHandle page, std::initializer_list<int> ids, bool on) {
    for (int id : ids) gui::enableDlgItem(page, id, on);
}

// Restarting the AutoSync (or AutoCheck) interval from now.
void restartAutoInterval(AutoKind which) {
    if (sheetProgram != nullptr) sheetProgram->autoTimer.restartPeriod(mainWindowOfSheet.load(), which);
}

void serviceButton(WindowHandle page, int id) {
    if (clockPrivilegeHeld.load() == 0) {
        if (platform::requestElevatedRestart(programFile())) {
            gui::destroyWindow(mainWindowOfSheet.load());
        }
        return;
    }
    enable(page, {kServiceInstall, kServiceRun}, false);
    if (id == kServiceInstall) {
        if (serviceInstalled.load() != 0) {
            uninstallService();
        } else {
            const std::string problem = installService();
            if (!problem.empty()) {
                gui::messageBox(mainWindowOfSheet.load(), problem, kErrorCaption, gui::MessageBoxKind::Error);
            }
        }
    } else if (serviceRunning.load() != 0) {
        stopService();
    } else {
        startService();
    }
    gui::setTimer(page, kServiceTimerId, kServiceRequeryMs);
}

void resetToDefaults(WindowHandle page) {
    if (!askQuestion(mainWindowOfSheet.load(), slot(kSlotResetQuestion), slot(kSlotYes), slot(kSlotNo))) return;
    applyDefaults();
    if (writeDefaultStrings(kStringsFileName)) {
        loadStringTable(kStringsFileName, kRequiredSlots, stringTable());
    } else {
        gui::messageBox(mainWindowOfSheet.load(), kStringsNotWritten, kErrorCaption, gui::MessageBoxKind::Error);
    }
    loadOptionValues(page);
}

struct PageKind {
    const gui::DialogTemplate* dialog;
    int titleSlot;
    void (*readBack)(WindowHandle);
};

intptr_t pageProcedure(WindowHandle page, const gui::WindowMessage& message, void (*readBack)(WindowHandle),
                       bool systemPage) {
    switch (message.kind) {
        case gui::MessageKind::Create:
            if (systemPage) queryService();
            fillOptionPage(page);
            return 1;
        case gui::MessageKind::Command: (void)optionClick(page, message.id); return 1;
        case gui::MessageKind::Timer:
            if (systemPage && message.id == kServiceTimerId) {
                gui::killTimer(page, kServiceTimerId);
                queryService();
                gui::enableDlgItem(page, kServiceInstall, true);
                applyEnableRules(page);
            }
            return 1;
        case gui::MessageKind::Notify:
            if (message.id == gui::kNotifyKillActive) readBack(page);
            return 1;
        default: return 0;
    }
}

}  // namespace

void fillOptionPage(WindowHandle page) {
    setControlTexts(page, kOptionsTexts);
    attachTooltips(page, kOptionsTooltips);
    fillCombo(page, kWindowsStart, {slot(kSlotDoNothing), slot(kSlotAutoStart), slot(kSlotAutoStartSync)});
    fillCombo(page, kProgramStart, {slot(kSlotDoNothing), slot(kSlotCheckServer), slot(kSlotCorrectTime)});
    fillCombo(page, kAutoSyncUnit, {slot(kSlotMinutes), slot(kSlotHours), slot(kSlotDays)});
    fillCombo(page, kAutoCheckUnit, {slot(kSlotMinutes), slot(kSlotHours), slot(kSlotDays)});
    fillCombo(page, kProtocol, {"TIME (RFC-868)", "SNTP (RFC-2030)", slot(kSlotAutoProtocol)});
    fillCombo(page, kOffsetUnit, {slot(kSlotSeconds), slot(kSlotMinutes), slot(kSlotHours)});
    fillCombo(page, kOffsetDirection, {slot(kSlotAdd), slot(kSlotSubtract)});
    for (int upDown : {kUpDownOffset, kUpDownAutoSync, kUpDownTimeout, kUpDownAutoCheck}) {
        gui::setUpDownRange(page, upDown, 0, 99);
    }
    loadOptionValues(page);
}

void loadOptionValues(WindowHandle page) {
    gui::setDlgItemText(page, kManualA, manualAddressA());
    gui::setDlgItemText(page, kManualB, manualAddressB());
    gui::comboSetSelection(page, kOffsetDirection, settings.offsetDirection.load());
    if (gui::hasDlgItem(page, kServerCombo)) refreshServerCombo(page);
    for (int id : {kUseList, kUseManualA, kUseManualB}) gui::checkDlgButton(page, id, false);
    gui::checkDlgButton(page, kUseList + settings.serverSource.load(), true);
    gui::setDlgItemInt(page, kOffsetAmount, static_cast<long>(settings.offsetAmount.load()));
    gui::setDlgItemInt(page, kSyncTimeout, static_cast<long>(settings.syncTimeout.load()));
    gui::setDlgItemInt(page, kAutoSyncCount, static_cast<long>(settings.autoSyncCount.load()));
    gui::setDlgItemInt(page, kAutoCheckCount, static_cast<long>(settings.autoCheckCount.load()));
    check(page, kNoLog, settings.logDisabled);
    check(page, kDefaultOnly, settings.defaultServerOnly);
    check(page, kAverage, settings.averageEnabled);
    check(page, kOnTop, settings.onTop);
    check(page, kAutoSyncOn, settings.autoSyncEnabled);
    check(page, kTray, settings.trayEnabled);
    check(page, kMinimise, settings.startMinimised);
    check(page, kResident, settings.residentEnabled);
    check(page, kAutoCheckOn, settings.autoCheckEnabled);
    check(page, kTimeServer, settings.timeServerEnabled);
    check(page, kMinor, settings.minorOnly);
    check(page, kDateRangeOn, settings.dateRangeEnabled);
    check(page, kLogSyncs, settings.logSyncs);
    check(page, kLogErrors, settings.logErrors);
    check(page, kLogServer, settings.logServer);
    check(page, kLogChecks, settings.logChecks);
    check(page, kLogCorrection, settings.logCorrection);
    check(page, kLogResponse, settings.logResponse);
    check(page, kLogOld, settings.logOldTime);
    check(page, kDateAutoReset, settings.dateRangeAutoReset);
    gui::comboSetSelection(page, kProtocol, settings.protocol.load());
    gui::comboSetSelection(page, kAutoSyncUnit, settings.autoSyncUnit.load());
    gui::comboSetSelection(page, kWindowsStart, settings.windowsStartAction.load());
    gui::comboSetSelection(page, kProgramStart, settings.programStartAction.load());
    gui::comboSetSelection(page, kAutoCheckUnit, settings.autoCheckUnit.load());
    gui::comboSetSelection(page, kOffsetUnit, settings.offsetMultiplier.load());
    platform::SystemTime date{};
    if (platform::fileTimeToSystemTime(settings.dateRangeLow.load(), date)) gui::setDatePickerTime(page, kDateLow, date);
    if (platform::fileTimeToSystemTime(settings.dateRangeHigh.load(), date)) gui::setDatePickerTime(page, kDateHigh, date);
    applyEnableRules(page);
}

void readServersPage(WindowHandle page) {
    settings.serverSource.store(checked(page, kUseList) ? 0 : checked(page, kUseManualA) ? 1 : 2);
    setManualAddressA(gui::getDlgItemText(page, kManualA));
    setManualAddressB(gui::getDlgItemText(page, kManualB));
    settings.defaultServerOnly.store(checked(page, kDefaultOnly) ? 1 : 0);
    settings.protocol.store(gui::comboSelection(page, kProtocol));
    settings.selectedServer.store(gui::comboSelection(page, kServerCombo));
}

void readAutoPage(WindowHandle page) {
    const WindowHandle main = mainWindowOfSheet.load();
    settings.autoSyncCount.store(readCount(page, kAutoSyncCount, 1, 99));
    settings.autoSyncUnit.store(gui::comboSelection(page, kAutoSyncUnit));
    settings.autoSyncEnabled.store(checked(page, kAutoSyncOn) ? 1 : 0);
    settings.autoCheckCount.store(readCount(page, kAutoCheckCount, 1, 99));
    settings.autoCheckUnit.store(gui::comboSelection(page, kAutoCheckUnit));
    settings.autoCheckEnabled.store(checked(page, kAutoCheckOn) ? 1 : 0);
    // A changed count or unit alone takes effect at the next arming.
    if (sheetProgram != nullptr) sheetProgram->autoTimer.settingsChanged(main);
}

void readSystemPage(WindowHandle page) {
    settings.offsetDirection.store(gui::comboSelection(page, kOffsetDirection));
    settings.offsetMultiplier.store(gui::comboSelection(page, kOffsetUnit));
    settings.windowsStartAction.store(gui::comboSelection(page, kWindowsStart));
    settings.programStartAction.store(gui::comboSelection(page, kProgramStart));
    bool ok = false;
    const long amount = gui::getDlgItemInt(page, kOffsetAmount, ok);
    settings.offsetAmount.store(!ok ? 0u : amount < 0 || amount > 99 ? 99u : static_cast<uint32_t>(amount));
    settings.dateRangeEnabled.store(checked(page, kDateRangeOn) ? 1 : 0);
    settings.dateRangeAutoReset.store(checked(page, kDateAutoReset) ? 1 : 0);
    settings.syncTimeout.store(readCount(page, kSyncTimeout, 5, 99));
    platform::FileTime ft = 0;
    if (platform::systemTimeToFileTime(gui::datePickerTime(page, kDateLow), ft)) settings.dateRangeLow.store(ft);
    if (platform::systemTimeToFileTime(gui::datePickerTime(page, kDateHigh), ft)) settings.dateRangeHigh.store(ft);
}

void readMiscPage(WindowHandle page) {
    settings.logDisabled.store(checked(page, kNoLog) ? 1 : 0);
    settings.logSyncs.store(checked(page, kLogSyncs) ? 1 : 0);
    settings.logErrors.store(checked(page, kLogErrors) ? 1 : 0);
    settings.logServer.store(checked(page, kLogServer) ? 1 : 0);
    settings.logChecks.store(checked(page, kLogChecks) ? 1 : 0);
    settings.logCorrection.store(checked(page, kLogCorrection) ? 1 : 0);
    settings.logResponse.store(checked(page, kLogResponse) ? 1 : 0);
    settings.logOldTime.store(checked(page, kLogOld) ? 1 : 0);
    settings.averageEnabled.store(checked(page, kAverage) ? 1 : 0);
    settings.onTop.store(checked(page, kOnTop) ? 1 : 0);
    settings.trayEnabled.store(checked(page, kTray) ? 1 : 0);
    const bool serverWanted = checked(page, kTimeServer);
    if (serverWanted && settings.timeServerEnabled.load() == 0) {
        startTimeServers(sheetProgram != nullptr ? serverStatusTo(sheetProgram->engine) : ServerStatusSink{});
        settings.timeServerEnabled.store(1);
    } else if (!serverWanted && settings.timeServerEnabled.load() != 0) {
        stopTimeServers();
        settings.timeServerEnabled.store(0);
    }
    settings.minorOnly.store(checked(page, kMinor) ? 1 : 0);
    settings.residentEnabled.store(checked(page, kResident) ? 1 : 0);
    settings.startMinimised.store(checked(page, kMinimise) ? 1 : 0);
}

void applyEnableRules(WindowHandle page) {
    enable(page, {kResetAutoSync, kAutoSyncUnit, kAutoSyncCount}, settings.autoSyncEnabled.load() != 0);
    enable(page, {kAutoCheckCount, kAutoCheckUnit, kResetAutoCheck}, settings.autoCheckEnabled.load() != 0);
    const int32_t source = settings.serverSource.load();
    enable(page, {kDefaultOnly, kEditList, kRefreshList, kScan, kServerCombo}, source == 0);
    enable(page, {kManualA}, source == 1);
    enable(page, {kManualB}, source == 2);
    enable(page, {kResident}, settings.trayEnabled.load() != 0);
    enable(page, {kDateLow, kDateHigh, kResetDateRange, kDateAutoReset}, settings.dateRangeEnabled.load() != 0);
    enable(page, {kLogSyncs, kLogErrors, kLogServer, kLogChecks, kLogCorrection, kLogResponse, kLogOld},
           settings.logDisabled.load() == 0);

    const bool installed = serviceInstalled.load() != 0;
    const bool running = serviceRunning.load() != 0;
    gui::setDlgItemText(page, kServiceInstall, slot(installed ? kSlotRemove : kSlotInstall));
    gui::setControlTooltip(page, kServiceInstall, slot(installed ? kSlotUninstallTip : kSlotInstallTip));
    gui::setDlgItemText(page, kServiceRun, slot(installed && running ? kSlotStop : kSlotRun));
    if (installed) gui::setControlTooltip(page, kServiceRun, slot(running ? kSlotStopTip : kSlotRunTip));
    gui::enableDlgItem(page, kServiceRun, installed);
    if (clockPrivilegeHeld.load() == 0) {
        for (int id : {kServiceInstall, kServiceRun}) {
            gui::setControlTooltip(page, id, slot(kSlotElevateTip));
            gui::setButtonShield(page, id, true);
        }
    }
}

bool optionClick(WindowHandle page, int id) {
    switch (id) {
        case kEditList: (void)platform::shellOpen(editableServerFile()); return true;
        case kRefreshList: refreshServerCombo(page); return true;
        case kScan:
            if (sheetProgram != nullptr) (void)openServerScan(page, sheetProgram->engine);
            return true;
        case kUseList:
        case kUseManualA:
        case kUseManualB:
            readServersPage(page);
            applyEnableRules(page);
            return true;
        case kResetAutoSync:
        case kAutoSyncOn:
            restartAutoInterval(AutoKind::Sync);
            readAutoPage(page);
            applyEnableRules(page);
            return true;
        case kAutoCheckOn:
        case kResetAutoCheck:
            restartAutoInterval(AutoKind::Check);
            readAutoPage(page);
            applyEnableRules(page);
            return true;
        case kDateRangeOn:
            readSystemPage(page);
            applyEnableRules(page);
            return true;
        case kResetDateRange: {
            resetDateRange();
            platform::SystemTime date{};
            if (platform::fileTimeToSystemTime(settings.dateRangeLow.load(), date)) gui::setDatePickerTime(page, kDateLow, date);
            if (platform::fileTimeToSystemTime(settings.dateRangeHigh.load(), date)) gui::setDatePickerTime(page, kDateHigh, date);
            return true;
        }
        case kServiceInstall:
        case kServiceRun: serviceButton(page, id); return true;
        case kViewLog: (void)platform::shellOpen(resolveDataFile(kLogFileName)); return true;
        case kNoLog:
        case kTray:
        case kTimeServer:
            readMiscPage(page);
            applyEnableRules(page);
            return true;
        case kResetDefaults: resetToDefaults(page); return true;
        case kHelp: (void)platform::shellOpen(programDirectory() + kReadMeFileName); return true;
        default: return false;
    }
}

bool askQuestion(WindowHandle owner, const std::string& question, const std::string& yes, const std::string& no) {
    const intptr_t answer = gui::runModalDialog(
        kQuestionBox,
        [&](WindowHandle box, const gui::WindowMessage& message) -> intptr_t {
            if (message.kind == gui::MessageKind::Create) {
                gui::setDlgItemText(box, kIdQuestionText, question);
                gui::setDlgItemText(box, kIdQuestionYes, yes);
                gui::setDlgItemText(box, kIdQuestionNo, no);
                gui::setTopmost(box, true);
            } else if (message.kind == gui::MessageKind::Command &&
                       (message.id == kIdQuestionYes || message.id == kIdQuestionNo)) {
                gui::endDialog(box, message.id);
            }
            return 0;
        },
        owner);
    return answer == kIdQuestionYes;
}

void openOptions(WindowProgram& program, WindowHandle mainWindow) {
    if (optionsOpen.exchange(1) != 0) return;
    mainWindowOfSheet.store(mainWindow);
    sheetProgram = &program;
    const std::vector<gui::PropertyPage> pages = {
        {&kServersPage, slot(kSlotServers),
         [](WindowHandle p, const gui::WindowMessage& m) { return pageProcedure(p, m, readServersPage, false); }},
        {&kAutoPage, slot(kSlotAuto),
         [](WindowHandle p, const gui::WindowMessage& m) { return pageProcedure(p, m, readAutoPage, false); }},
        {&kSystemPage, slot(kSlotSystem),
         [](WindowHandle p, const gui::WindowMessage& m) { return pageProcedure(p, m, readSystemPage, true); }},
        {&kMiscPage, slot(kSlotMisc),
         [](WindowHandle p, const gui::WindowMessage& m) { return pageProcedure(p, m, readMiscPage, false); }},
    };
    (void)gui::runPropertySheet(kSheetCaption, pages, mainWindow);
    // The scan belongs to the sheet and ends with it.
    endServerScan();
    gui::setTopmost(mainWindow, settings.onTop.load() != 0);
    if (!saveSettings()) {
        gui::messageBox(mainWindow, kSettingsNotSaved, kErrorCaption, gui::MessageBoxKind::Error);
    }
    registerWindowsStart();
    sheetProgram = nullptr;
    optionsOpen.store(0);
}

}  // namespace tavrel
