#include "ui/tray.h"

#include <vector>

#include "app/startup.h"
#include "engine/auto_timer.h"
#include "engine/supervisor.h"
#include "storage/strings.h"
#include "timeservice/time_servers.h"
#include "ui/main_window_display.h"

namespace tavrel {
namespace {

constexpr int kSlotHelp = 23;
constexpr int kSlotSyncNow = 88;
constexpr int kSlotExit = 89;
constexpr int kSlotResetAutoTimers = 92;
constexpr int kCommandExit = 2;
constexpr int kCommandCorrect = 3;
constexpr int kCommandAbout = 5;
constexpr int kCommandHelp = 6;

}  // namespace

void hideToTray(platform::WindowHandle window) {
    platform::showWindow(window, platform::ShowCommand::Hidden);
    if (trayIconSuppressed.load() == 0) platform::trayAddIcon(window, kProgramTitle);
    windowState.store(kWindowInTray);
    refreshPeriod.store(kRefreshHiddenMs);
}

std::string trayTipText() {
    std::string tip = autoTimerKind.load() != kAutoNone ? formatCountdown() : std::string(kProgramTitle);
    const std::string state = serverStateText();
    if (!state.empty()) tip += "\r\n" + state;
    return tip;
}

void onTrayCallback(platform::WindowHandle window, int iconId, int mouseMessage) {
    if (iconId != 0) return;
    platform::trayUpdateTip(window, trayTipText());
    if (mouseMessage == platform::kTrayLeftButtonDown) {
        // The restore steps are taken here: a window hidden by the close box
        // was never minimised, and showing it again reports no size change.
        windowState.store(kWindowShown);
        refreshPeriod.store(kRefreshShownMs);
        const int32_t kind = autoTimerKind.load();
        if (kind == kAutoCheck || kind == kAutoSync) autoTimerKind.store(kind + kRedrawMark);
        platform::trayDeleteIcon(window);
        platform::showWindow(window, platform::ShowCommand::Normal);
        platform::setForegroundWindow(window);
    } else if (mouseMessage == platform::kTrayRightButtonDown) {
        platform::postMessage(window, platform::WindowMessage{platform::MessageKind::RightButtonUp});
    }
    wakeEvent.set();
}

void showTrayMenu(platform::WindowHandle window) {
    std::vector<platform::MenuItem> items = {{"About", kCommandAbout}, {slot(kSlotHelp), kCommandHelp}, {"", 0}};
    if (autoTimerKind.load() != kAutoNone) items.push_back({slot(kSlotResetAutoTimers), kCommandResetAutoTimers});
    items.push_back({slot(kSlotSyncNow), kCommandCorrect});
    items.push_back({slot(kSlotExit), kCommandExit});
    platform::setForegroundWindow(window);
    const int chosen = platform::trackPopupMenu(window, items);
    if (chosen != 0) platform::postCommand(window, chosen);
}

void onTaskbarCreated(platform::WindowHandle window) {
    if (windowState.load() == kWindowInTray) platform::trayAddIcon(window, kProgramTitle);
}

}  // namespace tavrel
