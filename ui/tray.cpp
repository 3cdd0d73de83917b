#include "ui/tray.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "protocol/server_replies.h"
#include "storage/history.h"

#include "platform/time.h"
#include "storage/strings.h"
#include "timeservice/time_servers.h"
#include "ui/main_window.h"
#include "storage/string_slots.h"

namespace tavrel {

void hideToTray(WindowProgram& program, gui::WindowHandle window) {
    if (!gui::trayAreaAvailable()) {
        // A desktop without a notification area (GNOME without its
        // extension) would show no entry: the window stays minimised in
        // the task bar instead, so that it can be reached.
        if (!program.trayAreaMissingSaid) {
            program.trayAreaMissingSaid = true;
            // Held a while, as a server's line is, before the countdown
            // comes back.
            program.engine.showServerStatus(kNoTrayAreaText);
        }
        program.engine.setWindowState(WindowState::Minimised);
        if (gui::windowShowState(window) != gui::ShowCommand::Minimised) {
            gui::showWindow(window, gui::ShowCommand::Minimised);
        }
        return;
    }
    gui::showWindow(window, gui::ShowCommand::Hidden);
    if (!program.trayIconSuppressed) gui::trayAddIcon(window, kProgramTitle);
    program.engine.setWindowState(WindowState::InTray);
    gui::setTimer(window, kTrayTipTimerId, kTrayTipMs);
}

void refreshTrayTip(const WindowProgram& program, gui::WindowHandle window) {
    if (program.engine.windowState() != WindowState::InTray) {
        gui::killTimer(window, kTrayTipTimerId);
        return;
    }
    if (gui::trayIconShown(window)) gui::trayUpdateTip(window, trayTipText(program));
}

std::string trayTipText(const WindowProgram& program) {
    const Countdown countdown = program.autoTimer.countdown();
    std::string tip = kProgramTitle;
    if (countdown.kind != AutoKind::None) {
        const int64_t left =
            static_cast<int64_t>(countdown.dueTick) - static_cast<int64_t>(platform::getTickCount64());
        tip = formatCountdown(countdown.kind, left).text;
    }
    tip += "\r\n" + clockAtAGlance(program.engine.clockStanding(), lastGoodHistoryEntry(),
                                    platform::getSystemTimeAsFileTime());
    const std::string state = program.servers.stateText();
    if (!state.empty()) tip += "\r\n" + state;
    return tip;
}

std::string clockAtAGlance(const ClockStanding& standing, const std::optional<HistoryEntry>& last,
                           platform::FileTime now) {
    std::string text = servedClockAt(standing, now).synchronised ? "Synchronised" : "Not synchronised";
    if (!last) return text;
    const int64_t age = (static_cast<int64_t>(now) - static_cast<int64_t>(last->when)) / 10'000'000;
    char ago[32];
    if (age < 60) {
        std::snprintf(ago, sizeof ago, "%lld s ago", static_cast<long long>(std::max<int64_t>(age, 0)));
    } else if (age < 3600) {
        std::snprintf(ago, sizeof ago, "%lld min ago", static_cast<long long>(age / 60));
    } else if (age < 2 * 86'400) {
        std::snprintf(ago, sizeof ago, "%lld h ago", static_cast<long long>(age / 3600));
    } else {
        std::snprintf(ago, sizeof ago, "%lld days ago", static_cast<long long>(age / 86'400));
    }
    text += "\r\n";
    text += last->outcome == "Corrected" ? "Corrected " : "Checked ";
    text += ago;
    text += " from " + last->server;
    if (last->protocol == "NTS") text += " (NTS)";
    if (last->offsetSeconds) {
        // The bound: half the round trip, and what the protocol adds (TIME's
        // whole seconds).
        const double bound = standing.lastSyncRoundTripMs / 2000.0 + standing.lastSyncErrorMs / 1000.0;
        char offset[64];
        std::snprintf(offset, sizeof offset, "\r\nOffset %+.3f s \xC2\xB1 %.3f s", *last->offsetSeconds, bound);
        text += offset;
    }
    return text;
}

void restoreFromTray(WindowProgram& program, gui::WindowHandle window) {
    // The restore steps are taken here: a window hidden by the close box
    // was never minimised, and showing it again reports no size change.
    program.engine.setWindowState(WindowState::Shown);
    gui::trayDeleteIcon(window);
    gui::showWindow(window, gui::ShowCommand::Normal);
    gui::setForegroundWindow(window);
}

void onTrayCallback(WindowProgram& program, gui::WindowHandle window, int iconId, int mouseMessage) {
    if (iconId != 0) return;
    gui::trayUpdateTip(window, trayTipText(program));
    if (mouseMessage == gui::kTrayLeftButtonDown) {
        restoreFromTray(program, window);
    } else if (mouseMessage == gui::kTrayRightButtonDown) {
        gui::postMessage(window, gui::WindowMessage{gui::MessageKind::RightButtonUp});
    }
    program.engine.wake();
}

void showTrayMenu(const WindowProgram& program, gui::WindowHandle window) {
    std::vector<gui::MenuItem> items;
    if (program.engine.windowState() == WindowState::InTray) items.push_back({"Restore", kCommandRestore});
    items.insert(items.end(),
                 {{"About", kCommandAbout}, {slot(kSlotHelp), kCommandHelp}, {"History", kCommandHistory}, {"", 0}});
    if (program.autoTimer.armed() != AutoKind::None) {
        items.push_back({slot(kSlotResetAutoTimers), kCommandResetAutoTimers});
    }
    items.push_back({slot(kSlotSyncNow), kCommandCorrect});
    items.push_back({slot(kSlotExit), kCommandExit});
    gui::setForegroundWindow(window);
    const int chosen = gui::trackPopupMenu(window, items);
    if (chosen != 0) gui::postCommand(window, chosen);
}

void onTaskbarCreated(const WindowProgram& program, gui::WindowHandle window) {
    if (program.engine.windowState() == WindowState::InTray) gui::trayAddIcon(window, kProgramTitle);
}

}  // namespace tavrel
