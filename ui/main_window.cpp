#include "ui/main_window.h"

#include "engine/clock_privilege.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "resources/dialogs.h"
#include "servers/server_list.h"
#include "storage/data_directory.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "timeservice/time_servers.h"
#include "timezone/time_zone.h"
#include "ui/open_document.h"
#include "ui/about.h"
#include "ui/history_view.h"
#include "ui/control_texts.h"
#include "ui/options.h"
#include "ui/time_zone_dialog.h"
#include "ui/tray.h"
#include "storage/string_slots.h"

namespace tavrel {
namespace {

using gui::MessageKind;
using gui::WindowHandle;
using gui::WindowMessage;

// The restart with more rights; the window goes only when it could start.
void restartElevated(WindowHandle window) {
    if (platform::requestElevatedRestart(programFile())) gui::destroyWindow(window);
}

// Leaving the program: the settings are saved, the icon removed, and the
// loop ends.
void endProgram(WindowProgram& program, WindowHandle window, bool stopServices) {
    (void)saveSettingsAndLogonStart(program.services);
    // The process ends at once after this: the servers write their last
    // summary first.
    if (stopServices) (void)program.servers.finish(TimeServers::kFinishWaitMs);
    if (program.engine.windowState() == WindowState::InTray) gui::trayDeleteIcon(window);
    gui::postQuitMessage(0);
}

void onCommand(WindowProgram& program, WindowHandle window, int command) {
    Engine& engine = program.engine;
    switch (command) {
        case kCommandCheck:
            if (!engine.requestOperation(OperationKind::Check)) engine.requestAbort();
            break;
        case kCommandExit: endProgram(program, window, false); break;
        case kCommandCorrect:
            if (engine.busy()) return;
            // Without the right, the narrow helper asks for it for the clock
            // change alone; else the whole program restarts with it.
            if (clockPrivilegeHeld.load() != 0 || platform::narrowClockHelper()) {
                (void)engine.requestOperation(OperationKind::Correct);
            } else {
                restartElevated(window);
            }
            break;
        case kCommandAbout:
            if (!program.aboutOpen) {
                program.aboutOpen = true;
                showAboutPage(window);
                program.aboutOpen = false;
            }
            break;
        case kCommandHistory: showHistoryView(window); break;
        case kCommandOptions: program.options.open(window); break;
        case kCommandHelp: openReadMe(window); break;
        case kCommandTimeZone:
            refreshTimeZoneCaption(window);
            showTimeZoneDialog(window);
            break;
        case kCommandResetAutoTimers: program.autoTimer.reset(); break;
        case kCommandRestore: restoreFromTray(program, window); break;
        case kCommandSupervisorEnded: gui::destroyWindow(window); break;
        case kCommandRefreshTimeZone: refreshTimeZoneCaption(window); return;
        case kCommandMachineResumed: program.autoTimer.resumed(); return;
        case kCommandClockSetElsewhere: program.autoTimer.checkNow(); return;
        default: return;  // other ids do not wake the supervisor
    }
    engine.wake();
}

void onSize(WindowProgram& program, WindowHandle window, int kind) {
    if (kind == gui::kSizeMinimised) {
        if (settings.trayEnabled.load()) {
            hideToTray(program, window);
        } else {
            program.engine.setWindowState(WindowState::Minimised);
        }
    } else {
        // Shown again: the engine redraws the countdown in its next pass.
        program.engine.setWindowState(WindowState::Shown);
    }
}

}  // namespace

TimeServerOptions serverOptionsFor(Engine& engine) {
    TimeServerOptions options;
    options.sink = [&engine](std::string text) { engine.showServerStatus(std::move(text)); };
    options.standing = [&engine] { return engine.clockStanding(); };
    options.limitClients = rateLimitWanted();
    return options;
}

WindowProgram::WindowProgram(ServiceControls* services)
    : services(services),
      engine(view, EngineConfig{false, readServerEntry, serverListUnusable}),
      autoTimer(engine, view),
      options(engine, autoTimer, servers, services) {}

void deferredInitialisation(WindowProgram& program, WindowHandle window) {
    gui::setDlgItemText(window, kIdComputerName, platform::computerName());
    applyTemplateTexts(window);
    gui::killTimer(window, kDeferredInitTimerId);
    // The supervisor's passes start on a whole second.
    platform::sleepMs(1000 - platform::getLocalTime().milliseconds);
    program.engine.start();
    const StartAction action = settings.programStartAction.load();
    if (action == StartAction::Check || action == StartAction::Correct) {
        (void)program.engine.requestOperation(action == StartAction::Correct ? OperationKind::Correct
                                                                             : OperationKind::Check);
    }
    if (settings.timeServerEnabled.load()) program.servers.start(serverOptionsFor(program.engine));
    refreshTimeZoneCaption(window);
    if (clockPrivilegeHeld.load() != 0) {
        gui::setControlTooltip(window, kIdCorrectButton, slot(kSlotCorrectTip));
    } else {
        gui::setControlTooltip(window, kIdCorrectButton, slot(kSlotElevateTip));
        gui::setButtonShield(window, kIdCorrectButton, true);
    }
    if (settings.autoSyncEnabled.load() || settings.autoCheckEnabled.load()) program.autoTimer.arm();
    gui::setTopmost(window, settings.onTop.load());
}

intptr_t mainWindowProcedure(WindowProgram& program, WindowHandle window, const WindowMessage& message) {
    switch (message.kind) {
        case MessageKind::Create:
            program.view.attach(window);
            gui::setTimer(window, kDeferredInitTimerId, kDeferredInitMs);
            break;
        case MessageKind::Command: onCommand(program, window, message.id); break;
        case MessageKind::Timer:
            if (message.id == kDeferredInitTimerId) deferredInitialisation(program, window);
            if (message.id == kAutoTimerId) program.autoTimer.fired();
            if (message.id == kTrayTipTimerId) refreshTrayTip(program, window);
            break;
        case MessageKind::Size: onSize(program, window, message.id); break;
        case MessageKind::Close:
            if (settings.trayEnabled.load() && settings.residentEnabled.load()) {
                hideToTray(program, window);
            } else {
                // Seen by the supervisor at the end of its current wait.
                program.engine.requestClose();
            }
            break;
        case MessageKind::RightButtonUp: showTrayMenu(program, window); break;
        case MessageKind::TrayCallback:
            onTrayCallback(program, window, message.id, static_cast<int>(message.param));
            break;
        case MessageKind::TaskbarCreated: onTaskbarCreated(program, window); break;
        case MessageKind::QueryEndSession: program.engine.requestSessionEnd(); return 1;
        case MessageKind::EndSession:
        case MessageKind::Destroy: endProgram(program, window, true); break;
        case MessageKind::Notify: break;  // only property pages receive it
        case MessageKind::Char:
            if (message.id == 'h' || message.id == 'H') gui::postCommand(window, kCommandHistory);
            break;
    }
    return 0;
}

WindowHandle createMainWindow(WindowProgram& program) {
    const WindowHandle window = gui::createDialog(
        kMainDialog, [&program](WindowHandle w, const WindowMessage& m) { return mainWindowProcedure(program, w, m); });
    gui::watchSessionEnd(window);
    gui::showWindow(window, settings.startMinimised.load() ? gui::ShowCommand::Minimised
                                                                     : gui::ShowCommand::Normal);
    return window;
}

}  // namespace tavrel
