#include "ui/main_window_display.h"

#include "platform/thread.h"
#include "resources/dialogs.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "timeservice/time_servers.h"
#include "ui/main_window.h"
#include "storage/string_slots.h"

namespace tavrel {
namespace {

constexpr char kClockPicture[] = "HH:mm:ss";

}  // namespace

std::string clockText(const platform::SystemTime& local) {
    return platform::formatTime(local, kClockPicture) + "\r\n" + platform::formatLongDate(local);
}

void MainWindowView::showStatus(std::string_view text) { gui::setDlgItemText(window(), kIdStatusLine, text); }

void MainWindowView::showBusy(bool busy) {
    const gui::WindowHandle w = window();
    gui::setDlgItemText(w, kIdCheckButton, slot(busy ? kSlotAbort : kSlotCheck));
    gui::setControlTooltip(w, kIdCheckButton, slot(busy ? kSlotCancelTip : kSlotCheckTip));
    gui::enableDlgItem(w, kIdCorrectButton, !busy);
    gui::enableDlgItem(w, kIdOptionsButton, !busy);
    if (busy) gui::setDlgItemText(w, kIdStatusLine, "");
}

void MainWindowView::showServerName(std::string_view name) { gui::setDlgItemText(window(), kIdServerName, name); }

void MainWindowView::showLocalClock(const platform::SystemTime& local) {
    gui::setDlgItemText(window(), kIdLocalClock, clockText(local));
}

void MainWindowView::showServerClock(const platform::SystemTime& local) {
    gui::setDlgItemText(window(), kIdServerClock, clockText(local));
}

std::string MainWindowView::statusSuffix() {
    const std::string state = servers_.stateText();
    return state.empty() ? state : " (" + state + ")";
}

// The zone is refreshed on the window thread, which owns the caption.
void MainWindowView::operationStarting() { gui::postCommand(window(), kCommandRefreshTimeZone); }
void MainWindowView::machineResumed() { gui::postCommand(window(), kCommandMachineResumed); }
void MainWindowView::clockSetElsewhere() { gui::postCommand(window(), kCommandClockSetElsewhere); }

void MainWindowView::supervisorEnded() {
    // Stopped, the servers write what they served since the log's last summary.
    if (settings.timeServerEnabled.load()) (void)servers_.finish(TimeServers::kFinishWaitMs);
    gui::postCommand(window(), kCommandSupervisorEnded);
}

void MainWindowView::setAutoTimer(uint32_t ms) { gui::setTimer(window(), kAutoTimerId, ms); }

void MainWindowView::killAutoTimer() { gui::killTimer(window(), kAutoTimerId); }

void MainWindowView::showMessage(std::string_view text, std::string_view caption) {
    gui::messageBox(gui::kNoWindow, text, caption, gui::MessageBoxKind::Ok);
}

}  // namespace tavrel
