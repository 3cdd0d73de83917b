#include "ui/main_window.h"

#include "app/startup.h"
#include "engine/auto_timer.h"
#include "engine/clock_privilege.h"
#include "engine/operation.h"
#include "engine/supervisor.h"
#include "engine/time_query.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "resources/dialogs.h"
#include "storage/data_directory.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "timeservice/time_servers.h"
#include "timezone/time_zone.h"
#include "ui/about.h"
#include "ui/options.h"
#include "ui/time_zone_dialog.h"
#include "ui/control_texts.h"
#include "ui/main_window_display.h"
#include "ui/tray.h"

namespace tavrel {
namespace {

constexpr int kSlotCorrectTooltip = 124;
constexpr int kSlotElevateTooltip = 248;
constexpr uint32_t kHoldAtStart = 20;
constexpr char kReadMeFileName[] = "ReadMe.htm";

using platform::MessageKind;
using platform::WindowHandle;
using platform::WindowMessage;

// The restart with more rights; the window goes only when it could start.
void restartElevated(WindowHandle window) {
    if (platform::requestElevatedRestart(programDirectory() + platform::kProgramFileName)) platform::destroyWindow(window);
}

// Leaving the program: the settings are saved, the icon removed, and the
// loop ends.
void endProgram(WindowHandle window, bool stopServices) {
    saveSettings();
    if (stopServices) {
        stopTimeServers();
        stopWinsock();
    }
    if (windowState.load() == kWindowInTray) platform::trayDeleteIcon(window);
    platform::postQuitMessage(0);
}

void onCommand(WindowHandle window, int command) {
    switch (command) {
        case kCommandCheck:
            if (syncState.load() == kSyncIdle) {
                correctMode.store(0);
                settings.abortQuery.store(0);
                startOperation(window);
            } else {
                abortOperation(window);
            }
            break;
        case kCommandExit: endProgram(window, false); break;
        case kCommandCorrect:
            if (queryStep.load() != 0) return;
            if (clockPrivilegeHeld.load() != 0) {
                correctMode.store(1);
                settings.abortQuery.store(0);
                startOperation(window);
            } else {
                restartElevated(window);
            }
            break;
        case kCommandAbout: showAboutPage(window); break;
        case kCommandOptions: openOptions(window); break;
        case kCommandHelp: (void)platform::shellOpen(programDirectory() + kReadMeFileName); break;
        case kCommandTimeZone:
            refreshTimeZone(window);
            showTimeZoneDialog(window);
            break;
        case kCommandResetAutoTimers: resetAutoTimers(window); break;
        case kCommandSupervisorEnded: platform::destroyWindow(window); break;
        default: return;  // other ids do not wake the supervisor
    }
    wakeEvent.set();
}

void onSize(WindowHandle window, int kind) {
    if (kind == platform::kSizeMinimised) {
        if (settings.trayEnabled.load() != 0) {
            hideToTray(window);
        } else {
            windowState.store(kWindowMinimised);
            refreshPeriod.store(kRefreshHiddenMs);
        }
    } else {
        windowState.store(kWindowShown);
        refreshPeriod.store(kRefreshShownMs);
        const int32_t autoKind = autoTimerKind.load();
        if (autoKind == kAutoCheck || autoKind == kAutoSync) autoTimerKind.store(autoKind + kRedrawMark);
    }
    wakeEvent.set();
}

}  // namespace

void deferredInitialisation(WindowHandle window) {
    platform::setDlgItemText(window, kIdComputerName, platform::computerName());
    setControlTexts(window, kMainWindowTexts);
    attachTooltips(window, kMainWindowTooltips);
    platform::killTimer(window, kDeferredInitTimerId);
    // The supervisor's passes start on a whole second.
    platform::sleepMs(1000 - platform::getLocalTime().milliseconds);
    startSupervisor(window);
    const int32_t action = settings.programStartAction.load();
    if (action == 1 || action == 2) {
        correctMode.store(action == 2 ? 1 : 0);
        startOperation(window);
    }
    if (settings.timeServerEnabled.load() != 0) startTimeServers(window);
    refreshTimeZone(window);
    if (clockPrivilegeHeld.load() != 0) {
        platform::setControlTooltip(window, kIdCorrectButton, slot(kSlotCorrectTooltip));
    } else {
        platform::setControlTooltip(window, kIdCorrectButton, slot(kSlotElevateTooltip));
        platform::setButtonShield(window, kIdCorrectButton, true);
    }
    if (settings.autoSyncEnabled.load() != 0 || settings.autoCheckEnabled.load() != 0) armAutoTimer(window);
    platform::setTopmost(window, settings.onTop.load() != 0);
    statusHold.store(kHoldAtStart);
}

intptr_t mainWindowProcedure(WindowHandle window, const WindowMessage& message) {
    switch (message.kind) {
        case MessageKind::Create: platform::setTimer(window, kDeferredInitTimerId, kDeferredInitMs); break;
        case MessageKind::Command: onCommand(window, message.id); break;
        case MessageKind::Timer:
            if (message.id == kDeferredInitTimerId) deferredInitialisation(window);
            if (message.id == kAutoTimerId) autoTimerFired(window);
            break;
        case MessageKind::Size: onSize(window, message.id); break;
        case MessageKind::Close:
            if (settings.trayEnabled.load() != 0 && settings.residentEnabled.load() != 0) {
                hideToTray(window);
            } else {
                // Seen by the supervisor at the end of its current wait.
                closeRequested.store(1);
            }
            break;
        case MessageKind::RightButtonUp: showTrayMenu(window); break;
        case MessageKind::TrayCallback: onTrayCallback(window, message.id, static_cast<int>(message.param)); break;
        case MessageKind::TaskbarCreated: onTaskbarCreated(window); break;
        case MessageKind::QueryEndSession: syncState.store(kSyncStopRequested); return 1;
        case MessageKind::EndSession:
        case MessageKind::Destroy: endProgram(window, true); break;
        case MessageKind::Notify: break;  // only property pages receive it
    }
    return 0;
}

WindowHandle createMainWindow() {
    const WindowHandle window = platform::createDialog(kMainDialog, mainWindowProcedure);
    platform::watchSessionEnd(window);
    platform::showWindow(window, settings.startMinimised.load() != 0 ? platform::ShowCommand::Minimised
                                                                     : platform::ShowCommand::Normal);
    return window;
}

}  // namespace tavrel
