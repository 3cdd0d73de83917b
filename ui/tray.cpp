#include "ui/tray.h"

#include <vector>

#include "app/startup.h"
#include "platform/time.h"
#include "storage/strings.h"
#include "timeservice/time_servers.h"
#include "ui/main_window.h"

namespace tavrel {
namespace {

constexpr int kSlotHelp = 23;
constexpr int kSlotSyncNow = 88;
constexpr int kSlotExit = 89;
constexpr int kSlotResetAutoTimers = 92;

}  // namespace

void hideToTray(WindowProgram& program, platform::WindowHandle window) {
    platform::showWindow(window, platform::ShowCommand::Hidden);
    if (trayIconSuppressed.load() == 0) platform::trayAddIcon(window, kProgramTitle);
    program.engine.setWindowState(WindowState::InTray);
}

std::string trayTipText(const WindowProgram& program) {
    const Countdown countdown = program.autoTimer.countdown();
    std::string tip = kProgramTitle;
    if (countdown.kind != AutoKind::None) {
        const int64_t left =
            static_cast<int64_t>(countdown.dueTick) - static_cast<int64_t>(platform::getTickCount64());
        tip = formatCountdown(countdown.kind, left).text;
    }
    const std::string state = serverStateText();
    if (!state.empty()) tip += "\r\n" + state;
    return tip;
}

void onTrayCallback(WindowProgram& program, platform::WindowHandle window, int iconId, int mouseMessage) {
    if (iconId != 0) return;
    platform::trayUpdateTip(window, trayTipText(program));
    if (mouseMessage == platform::kTrayLeftButtonDown) {
        // The restore steps are taken here: a window hidden by the close box
        // was never minimised, and showing it again reports no size change.
        program.engine.setWindowState(WindowState::Shown);
        platform::trayDeleteIcon(window);
        platform::showWindow(window, platform::ShowCommand::Normal);
        platform::setForegroundWindow(window);
    } else if (mouseMessage == platform::kTrayRightButtonDown) {
        platform::postMessage(window, platform::WindowMessage{platform::MessageKind::RightButtonUp});
    }
    program.engine.wake();
}

void showTrayMenu(const WindowProgram& program, platform::WindowHandle window) {
    std::vector<platform::MenuItem> items = {{"About", kCommandAbout}, {slot(kSlotHelp), kCommandHelp}, {"", 0}};
    if (program.autoTimer.armed() != AutoKind::None) {
        items.push_back({slot(kSlotResetAutoTimers), kCommandResetAutoTimers});
    }
    items.push_back({slot(kSlotSyncNow), kCommandCorrect});
    items.push_back({slot(kSlotExit), kCommandExit});
    platform::setForegroundWindow(window);
    const int chosen = platform::trackPopupMenu(window, items);
    if (chosen != 0) platform::postCommand(window, chosen);
}

void onTaskbarCreated(const WindowProgram& program, platform::WindowHandle window) {
    if (program.engine.windowState() == WindowState::InTray) platform::trayAddIcon(window, kProgramTitle);
}

}  // namespace tavrel
