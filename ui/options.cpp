#include "ui/options.h"

#include <functional>
#include <vector>

#include "engine/authenticated_only.h"
#include "engine/clock_privilege.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "resources/dialogs.h"
#include "ui/server_combo.h"
#include "servers/server_list.h"
#include "storage/data_directory.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "timeservice/time_servers.h"
#include "ui/open_document.h"
#include "ui/control_texts.h"
#include "ui/main_window.h"
#include "storage/string_slots.h"
#include "resources/program_name.h"

namespace tavrel {
namespace {

using gui::WindowHandle;

constexpr const char* kSheetCaption = kProgramTitle;
constexpr const char* kErrorCaption = platform::kProgramCaption;
constexpr char kStringsNotWritten[] = "Strings.txt could not be written; it keeps its texts.";
constexpr char kSettingsNotSaved[] = "vIvod.dat could not be written; it keeps the settings saved before.";
constexpr char kNoLogYet[] = "Nothing has been logged yet.";
constexpr int kServiceTimerId = 1;
constexpr uint32_t kServiceRequeryMs = 1000;

void fillCombo(WindowHandle page, int id, const std::vector<std::string>& entries) {
    gui::comboReset(page, id);
    for (size_t i = 0; i < entries.size(); ++i) gui::comboInsert(page, id, static_cast<int>(i), entries[i]);
}

bool checked(WindowHandle page, int id) { return gui::isDlgButtonChecked(page, id); }
void check(WindowHandle page, int id, const FlagWord& flag) { gui::checkDlgButton(page, id, flag.load()); }

// The list of an enumerated setting holds its enumerators in their order.
template <class E>
void selectEntry(WindowHandle page, int id, E value) {
    gui::comboSetSelection(page, id, static_cast<int>(value));
}
template <class E>
E selectedEntry(WindowHandle page, int id) {
    return static_cast<E>(gui::comboSelection(page, id));
}

// A count edit read back as unsigned and clamped (an empty field reads 0).
uint32_t readCount(WindowHandle page, int id, uint32_t low, uint32_t high) {
    bool ok = false;
    const long value = gui::getDlgItemInt(page, id, ok);
    const unsigned long raw = ok ? static_cast<unsigned long>(value) : 0;
    return static_cast<uint32_t>(raw < low ? low : raw > high ? high : raw);
}

// The number fields of the pages, the up-down control beside each, and the
// range of the setting each one edits.
struct NumberField {
    int id;
    int upDown;
    long low, high;
};
constexpr NumberField kNumberFields[] = {
    {kIdOffsetAmount, kIdUpDownOffset, 0, 99},
    {kIdAutoSyncCount, kIdUpDownAutoSync, 1, 99},
    {kIdSyncTimeout, kIdUpDownTimeout, 5, 99},
    {kIdAutoCheckCount, kIdUpDownAutoCheck, 1, 99},
};

// What keeps a page from being taken as it stands, in words for the user:
// an address that is not four numbers of 0 to 255, or a number outside its
// setting's range. Nothing is reinterpreted: the user corrects it. Greyed
// fields are not asked about (the user could not change them).
std::string pageProblem(WindowHandle page) {
    for (int id : {kIdManualA, kIdManualB}) {
        if (!gui::hasDlgItem(page, id) || !gui::isDlgItemEnabled(page, id)) continue;
        const std::string text = gui::getDlgItemText(page, id);
        if (!text.empty() && !platform::isDottedQuad(text)) {
            return text + " is not a valid address. Please enter four numbers between 0 and 255, such as " +
                   kDefaultManualAddressA + ".";
        }
    }
    for (const NumberField& field : kNumberFields) {
        if (!gui::hasDlgItem(page, field.id) || !gui::isDlgItemEnabled(page, field.id)) continue;
        bool ok = false;
        const long value = gui::getDlgItemInt(page, field.id, ok);
        if (!ok || value < field.low || value > field.high) {
            const std::string typed = gui::getDlgItemText(page, field.id);
            return (typed.empty() ? std::string("An empty field") : typed) +
                   " is not a valid entry. Please specify a value between " + std::to_string(field.low) + " and " +
                   std::to_string(field.high) + ".";
        }
    }
    return std::string();
}

void enable(WindowHandle page, std::initializer_list<int> ids, bool on) {
    for (int id : ids) gui::enableDlgItem(page, id, on);
}

}  // namespace

bool saveSettingsAndLogonStart(ServiceControls* services) {
    const bool saved = saveSettings();
    if (services != nullptr) services->registerWindowsStart();
    return saved;
}

OptionsSheet::OptionsSheet(Engine& engine, AutoTimer& autoTimer, TimeServers& servers, ServiceControls* services)
    : engine_(engine), servers_(servers), autoTimer_(autoTimer), services_(services), scan_(engine) {}

void OptionsSheet::queryService() {
    if (services_ != nullptr) services_->query();
}

void OptionsSheet::serviceButton(WindowHandle page, int id) {
    if (services_ == nullptr) return;
    if (clockPrivilegeHeld.load() == 0) {
        if (platform::requestElevatedRestart(programFile())) {
            gui::destroyWindow(mainWindow_);
        }
        return;
    }
    enable(page, {kIdServiceInstall, kIdServiceRun}, false);
    if (id == kIdServiceInstall) {
        if (serviceInstalled.load() != 0) {
            services_->uninstall();
        } else {
            const std::string problem = services_->install();
            if (!problem.empty()) {
                gui::messageBox(mainWindow_, problem, kErrorCaption, gui::MessageBoxKind::Error);
            }
        }
    } else if (serviceRunning.load() != 0) {
        services_->stop();
    } else {
        services_->start();
    }
    gui::setTimer(page, kServiceTimerId, kServiceRequeryMs);
}

void OptionsSheet::resetToDefaults(WindowHandle page) {
    if (!askQuestion(mainWindow_, slot(kSlotResetQuestion), slot(kSlotYes), slot(kSlotNo))) return;
    applyDefaults();
    if (writeDefaultStrings(kStringsFileName)) {
        loadStringTable(kStringsFileName, kRequiredSlots, stringTable());
    } else {
        gui::messageBox(mainWindow_, kStringsNotWritten, kErrorCaption, gui::MessageBoxKind::Error);
    }
    loadOptionValues(page);
}

intptr_t OptionsSheet::pageProcedure(WindowHandle page, const gui::WindowMessage& message,
                                     const std::function<void(WindowHandle)>& readBack, bool systemPage) {
    switch (message.kind) {
        case gui::MessageKind::Create:
            if (systemPage) queryService();
            fillOptionPage(page);
            return 1;
        case gui::MessageKind::Command: (void)click(page, message.id); return 1;
        case gui::MessageKind::Timer:
            if (systemPage && message.id == kServiceTimerId) {
                gui::killTimer(page, kServiceTimerId);
                queryService();
                gui::enableDlgItem(page, kIdServiceInstall, true);
                applyEnableRules(page);
            }
            return 1;
        case gui::MessageKind::Notify:
            if (message.id == gui::kNotifyKillActive) {
                const std::string problem = pageProblem(page);
                if (!problem.empty()) {
                    gui::messageBox(mainWindow_, problem, kErrorCaption, gui::MessageBoxKind::Error);
                    return gui::kKeepPage;
                }
                readBack(page);
            }
            return 1;
        default: return 0;
    }
}

void fillOptionPage(WindowHandle page) {
    applyTemplateTexts(page);
    fillCombo(page, kIdWindowsStart, {slot(kSlotDoNothing), slot(kSlotAutoStart), slot(kSlotAutoStartSync)});
    fillCombo(page, kIdProgramStart, {slot(kSlotDoNothing), slot(kSlotCheckServer), slot(kSlotCorrectTime)});
    fillCombo(page, kIdAutoSyncUnit, {slot(kSlotMinutes), slot(kSlotHours), slot(kSlotDays)});
    fillCombo(page, kIdAutoCheckUnit, {slot(kSlotMinutes), slot(kSlotHours), slot(kSlotDays)});
    fillCombo(page, kIdProtocol, {"TIME (RFC-868)", "SNTP (RFC-2030)", slot(kSlotAuto)});
    fillCombo(page, kIdOffsetUnit, {slot(kSlotSeconds), slot(kSlotMinutes), slot(kSlotHours)});
    fillCombo(page, kIdOffsetDirection, {slot(kSlotAdd), slot(kSlotSubtract)});
    for (const NumberField& field : kNumberFields) {
        gui::setUpDownRange(page, field.upDown, static_cast<int>(field.low), static_cast<int>(field.high));
    }
    loadOptionValues(page);
}

void loadOptionValues(WindowHandle page) {
    gui::setDlgItemText(page, kIdManualA, manualAddressA());
    gui::setDlgItemText(page, kIdManualB, manualAddressB());
    selectEntry(page, kIdOffsetDirection, settings.offsetDirection.load());
    if (gui::hasDlgItem(page, kIdServerCombo)) refreshServerCombo(page);
    for (int id : {kIdUseList, kIdUseManualA, kIdUseManualB}) gui::checkDlgButton(page, id, false);
    // The three source buttons' ids follow one another in the sources' order.
    gui::checkDlgButton(page, kIdUseList + static_cast<int>(settings.serverSource.load()), true);
    gui::setDlgItemInt(page, kIdOffsetAmount, static_cast<long>(settings.offsetAmount.load()));
    gui::setDlgItemInt(page, kIdSyncTimeout, static_cast<long>(settings.syncTimeout.load().count()));
    gui::setDlgItemInt(page, kIdAutoSyncCount, static_cast<long>(settings.autoSyncCount.load()));
    gui::setDlgItemInt(page, kIdAutoCheckCount, static_cast<long>(settings.autoCheckCount.load()));
    check(page, kIdNoLog, settings.logDisabled);
    check(page, kIdDefaultOnly, settings.defaultServerOnly);
    check(page, kIdAuthenticatedOnly, settings.authenticatedOnly);
    check(page, kIdAverage, settings.averageEnabled);
    check(page, kIdOnTop, settings.onTop);
    check(page, kIdAutoSyncOn, settings.autoSyncEnabled);
    check(page, kIdTray, settings.trayEnabled);
    check(page, kIdMinimise, settings.startMinimised);
    check(page, kIdResident, settings.residentEnabled);
    check(page, kIdAutoCheckOn, settings.autoCheckEnabled);
    check(page, kIdTimeServer, settings.timeServerEnabled);
    check(page, kIdMinor, settings.minorOnly);
    gui::checkDlgButton(page, kIdSlew, !settings.slewDisabled.load());
    check(page, kIdDateRangeOn, settings.dateRangeEnabled);
    check(page, kIdLogSyncs, settings.logSyncs);
    check(page, kIdLogErrors, settings.logErrors);
    check(page, kIdLogServer, settings.logServer);
    check(page, kIdLogChecks, settings.logChecks);
    check(page, kIdLogCorrection, settings.logCorrection);
    check(page, kIdLogResponse, settings.logResponse);
    check(page, kIdLogOld, settings.logOldTime);
    check(page, kIdDateAutoReset, settings.dateRangeAutoReset);
    selectEntry(page, kIdProtocol, settings.protocol.load());
    selectEntry(page, kIdAutoSyncUnit, settings.autoSyncUnit.load());
    selectEntry(page, kIdWindowsStart, settings.windowsStartAction.load());
    selectEntry(page, kIdProgramStart, settings.programStartAction.load());
    selectEntry(page, kIdAutoCheckUnit, settings.autoCheckUnit.load());
    selectEntry(page, kIdOffsetUnit, settings.offsetMultiplier.load());
    platform::SystemTime date{};
    if (platform::fileTimeToSystemTime(settings.dateRangeLow.load(), date)) gui::setDatePickerTime(page, kIdDateLow, date);
    if (platform::fileTimeToSystemTime(settings.dateRangeHigh.load(), date)) gui::setDatePickerTime(page, kIdDateHigh, date);
    applyEnableRules(page);
}

void readServersPage(WindowHandle page) {
    settings.serverSource.store(checked(page, kIdUseList)      ? ServerSource::List
                                : checked(page, kIdUseManualA) ? ServerSource::ManualA
                                                               : ServerSource::ManualB);
    // The address fields give four numbers 0 to 255, or nothing when blank;
    // a blank field keeps the address it had.
    const std::string a = gui::getDlgItemText(page, kIdManualA);
    const std::string b = gui::getDlgItemText(page, kIdManualB);
    if (platform::isDottedQuad(a)) setManualAddressA(a);
    if (platform::isDottedQuad(b)) setManualAddressB(b);
    settings.defaultServerOnly.store(checked(page, kIdDefaultOnly));
    settings.authenticatedOnly.store(checked(page, kIdAuthenticatedOnly));
    settings.protocol.store(selectedEntry<Protocol>(page, kIdProtocol));
    settings.selectedServer.store(gui::comboSelection(page, kIdServerCombo));
}

void OptionsSheet::readAutoPage(WindowHandle page) {
    settings.autoSyncCount.store(readCount(page, kIdAutoSyncCount, 1, 99));
    settings.autoSyncUnit.store(selectedEntry<TimeUnit>(page, kIdAutoSyncUnit));
    settings.autoSyncEnabled.store(checked(page, kIdAutoSyncOn));
    settings.autoCheckCount.store(readCount(page, kIdAutoCheckCount, 1, 99));
    settings.autoCheckUnit.store(selectedEntry<TimeUnit>(page, kIdAutoCheckUnit));
    settings.autoCheckEnabled.store(checked(page, kIdAutoCheckOn));
    // A changed count or unit takes effect at once.
    autoTimer_.settingsChanged();
}

void readSystemPage(WindowHandle page) {
    settings.offsetDirection.store(selectedEntry<OffsetDirection>(page, kIdOffsetDirection));
    settings.offsetMultiplier.store(selectedEntry<OffsetUnit>(page, kIdOffsetUnit));
    settings.windowsStartAction.store(selectedEntry<WindowsStartAction>(page, kIdWindowsStart));
    settings.programStartAction.store(selectedEntry<StartAction>(page, kIdProgramStart));
    bool ok = false;
    const long amount = gui::getDlgItemInt(page, kIdOffsetAmount, ok);
    settings.offsetAmount.store(!ok ? 0u : amount < 0 || amount > 99 ? 99u : static_cast<uint32_t>(amount));
    settings.dateRangeEnabled.store(checked(page, kIdDateRangeOn));
    settings.dateRangeAutoReset.store(checked(page, kIdDateAutoReset));
    settings.syncTimeout.store(std::chrono::seconds(readCount(page, kIdSyncTimeout, 5, 99)));
    platform::FileTime ft = 0;
    if (platform::systemTimeToFileTime(gui::datePickerTime(page, kIdDateLow), ft)) settings.dateRangeLow.store(ft);
    if (platform::systemTimeToFileTime(gui::datePickerTime(page, kIdDateHigh), ft)) settings.dateRangeHigh.store(ft);
}

void OptionsSheet::readMiscPage(WindowHandle page) {
    settings.logDisabled.store(checked(page, kIdNoLog));
    settings.logSyncs.store(checked(page, kIdLogSyncs));
    settings.logErrors.store(checked(page, kIdLogErrors));
    settings.logServer.store(checked(page, kIdLogServer));
    settings.logChecks.store(checked(page, kIdLogChecks));
    settings.logCorrection.store(checked(page, kIdLogCorrection));
    settings.logResponse.store(checked(page, kIdLogResponse));
    settings.logOldTime.store(checked(page, kIdLogOld));
    settings.averageEnabled.store(checked(page, kIdAverage));
    settings.onTop.store(checked(page, kIdOnTop));
    settings.trayEnabled.store(checked(page, kIdTray));
    const bool serverWanted = checked(page, kIdTimeServer);
    if (serverWanted && !settings.timeServerEnabled.load()) {
        servers_.start(serverOptionsFor(engine_));
        settings.timeServerEnabled.store(true);
    } else if (!serverWanted && settings.timeServerEnabled.load()) {
        servers_.stop();
        settings.timeServerEnabled.store(false);
    }
    settings.minorOnly.store(checked(page, kIdMinor));
    settings.slewDisabled.store(!checked(page, kIdSlew));
    settings.residentEnabled.store(checked(page, kIdResident));
    settings.startMinimised.store(checked(page, kIdMinimise));
}

void applyEnableRules(WindowHandle page) {
    enable(page, {kIdResetAutoSync, kIdAutoSyncUnit, kIdAutoSyncCount}, settings.autoSyncEnabled.load());
    enable(page, {kIdAutoCheckCount, kIdAutoCheckUnit, kIdResetAutoCheck}, settings.autoCheckEnabled.load());
    const ServerSource source = settings.serverSource.load();
    enable(page, {kIdDefaultOnly, kIdEditList, kIdRefreshList, kIdScan, kIdServerCombo}, source == ServerSource::List);
    // The choice keeps the walk to the list's nts:// entries: it has
    // something to keep to only while the list is in use and holds one.
    if (gui::hasDlgItem(page, kIdAuthenticatedOnly)) {
        enable(page, {kIdAuthenticatedOnly}, source == ServerSource::List && listHoldsNtsEntry(readServerEntry));
    }
    enable(page, {kIdManualA}, source == ServerSource::ManualA);
    enable(page, {kIdManualB}, source == ServerSource::ManualB);
    enable(page, {kIdResident}, settings.trayEnabled.load());
    enable(page, {kIdDateLow, kIdDateHigh, kIdResetDateRange, kIdDateAutoReset}, settings.dateRangeEnabled.load());
    enable(page, {kIdLogSyncs, kIdLogErrors, kIdLogServer, kIdLogChecks, kIdLogCorrection, kIdLogResponse, kIdLogOld},
           !settings.logDisabled.load());

    const bool installed = serviceInstalled.load() != 0;
    const bool running = serviceRunning.load() != 0;
    gui::setDlgItemText(page, kIdServiceInstall, slot(installed ? kSlotRemove : kSlotInstall));
    gui::setControlTooltip(page, kIdServiceInstall, slot(installed ? kSlotUninstallTip : kSlotInstallTip));
    gui::setDlgItemText(page, kIdServiceRun, slot(installed && running ? kSlotStop : kSlotRun));
    if (installed) gui::setControlTooltip(page, kIdServiceRun, slot(running ? kSlotStopTip : kSlotRunTip));
    gui::enableDlgItem(page, kIdServiceRun, installed);
    if (clockPrivilegeHeld.load() == 0) {
        for (int id : {kIdServiceInstall, kIdServiceRun}) {
            gui::setControlTooltip(page, id, slot(kSlotServiceElevateTip));
            gui::setButtonShield(page, id, true);
        }
    }
}

bool OptionsSheet::click(WindowHandle page, int id) {
    switch (id) {
        case kIdEditList:
            openDocument(page, editableServerFile(), DocumentUse::Edit);
            // An editor in the terminal has ended by now: show what it saved.
            refreshServerCombo(page);
            applyEnableRules(page);
            return true;
        case kIdRefreshList:
            refreshServerCombo(page);
            applyEnableRules(page);
            return true;
        case kIdScan: (void)scan_.open(page); return true;
        case kIdUseList:
        case kIdUseManualA:
        case kIdUseManualB:
            readServersPage(page);
            applyEnableRules(page);
            return true;
        case kIdResetAutoSync:
        case kIdAutoSyncOn:
            autoTimer_.restartPeriod(AutoKind::Sync);
            readAutoPage(page);
            applyEnableRules(page);
            return true;
        case kIdAutoCheckOn:
        case kIdResetAutoCheck:
            autoTimer_.restartPeriod(AutoKind::Check);
            readAutoPage(page);
            applyEnableRules(page);
            return true;
        case kIdDateRangeOn:
            readSystemPage(page);
            applyEnableRules(page);
            return true;
        case kIdResetDateRange: {
            resetDateRange();
            platform::SystemTime date{};
            if (platform::fileTimeToSystemTime(settings.dateRangeLow.load(), date)) gui::setDatePickerTime(page, kIdDateLow, date);
            if (platform::fileTimeToSystemTime(settings.dateRangeHigh.load(), date)) gui::setDatePickerTime(page, kIdDateHigh, date);
            return true;
        }
        case kIdServiceInstall:
        case kIdServiceRun: serviceButton(page, id); return true;
        case kIdViewLog:
            // Where the log is written, so that a missing log is named where it
            // will appear.
            openDocument(page, dataDirectory() + kLogFileName, DocumentUse::Read, kNoLogYet);
            return true;
        case kIdNoLog:
        case kIdTray:
        case kIdTimeServer:
            readMiscPage(page);
            applyEnableRules(page);
            return true;
        case kIdResetDefaults: resetToDefaults(page); return true;
        case kIdHelp: openReadMe(page); return true;
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

void OptionsSheet::open(WindowHandle mainWindow) {
    if (open_) return;
    open_ = true;
    mainWindow_ = mainWindow;
    const std::vector<gui::PropertyPage> pages = {
        {&kServersPage, slot(kSlotServers),
         [this](WindowHandle p, const gui::WindowMessage& m) { return pageProcedure(p, m, readServersPage, false); }},
        {&kAutoPage, slot(kSlotAuto),
         [this](WindowHandle p, const gui::WindowMessage& m) {
             return pageProcedure(p, m, [this](WindowHandle left) { readAutoPage(left); }, false);
         }},
        {&kSystemPage, slot(kSlotSystem),
         [this](WindowHandle p, const gui::WindowMessage& m) { return pageProcedure(p, m, readSystemPage, true); }},
        {&kMiscPage, slot(kSlotMisc),
         [this](WindowHandle p, const gui::WindowMessage& m) {
             return pageProcedure(p, m, [this](WindowHandle left) { readMiscPage(left); }, false);
         }},
    };
    (void)gui::runPropertySheet(kSheetCaption, pages, mainWindow);
    // The scan belongs to the sheet and ends with it.
    scan_.end();
    gui::setTopmost(mainWindow, settings.onTop.load());
    if (!saveSettingsAndLogonStart(services_)) {
        gui::messageBox(mainWindow, kSettingsNotSaved, kErrorCaption, gui::MessageBoxKind::Error);
    }
    mainWindow_ = gui::kNoWindow;
    open_ = false;
}

}  // namespace tavrel
