#include "ui/main_window_display.h"

#include "engine/auto_timer.h"
#include "engine/clock_correction.h"
#include "engine/supervisor.h"
#include "resources/dialogs.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "timeservice/time_servers.h"

namespace tavrel {

std::atomic<int32_t> windowState{kWindowShown};
std::atomic<int32_t> countdownTick{0};

namespace {

constexpr int kSlotReady = 9;
constexpr uint32_t kReadyAt = 20;
constexpr int32_t kCountdownPasses = 30;
constexpr char kClockPicture[] = "HH:mm:ss";

// " (TIME Server Active)" and the like while a time server runs.
std::string serverStateSuffix() {
    const std::string state = serverStateText();
    return state.empty() ? state : " (" + state + ")";
}

}  // namespace

std::string clockText(const platform::SystemTime& local) {
    return platform::formatTime(local, kClockPicture) + "\r\n" + platform::formatLongDate(local);
}

void idleDisplayPass(platform::WindowHandle window) {
    const uint32_t hold = statusHold.load();
    if (hold > 0) {
        if (hold == kReadyAt) platform::setDlgItemText(window, kIdStatusLine, slot(kSlotReady) + serverStateSuffix());
        if (serviceMode.load() == 0) statusHold.store(hold - 1);
    }
    if (windowState.load() != kWindowShown) return;

    platform::setDlgItemText(window, kIdLocalClock, clockText(platform::getLocalTime()));
    const int32_t kind = autoTimerKind.load();
    if ((countdownTick.load() == 0 || kind > kRedrawMark) && statusHold.load() == 0 && kind != kAutoNone) {
        platform::setDlgItemText(window, kIdStatusLine, formatCountdown() + serverStateSuffix());
    }
    const int32_t tick = countdownTick.load() + 1;
    countdownTick.store(tick > kCountdownPasses ? 0 : tick);
}

void serverClockPass(platform::WindowHandle window) {
    if (serverClockRunning.load() == 0) return;
    const uint32_t now = platform::getTickCount();
    // Milliseconds to 100-ns units; the product is taken in 32 bits.
    const uint32_t advance = (now - serverClockTick.load()) * 10000u;
    settings.serverClock.store(settings.serverClock.load() + advance);
    serverClockTick.store(now);
    if (windowState.load() != kWindowShown) return;
    platform::SystemTime shown{};
    if (platform::fileTimeToSystemTime(settings.serverClock.load(), shown)) {
        platform::setDlgItemText(window, kIdServerClock, clockText(shown));
    }
}

}  // namespace tavrel
