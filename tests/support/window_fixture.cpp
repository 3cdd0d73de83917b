#include "tests/support/window_fixture.h"

#include "engine/auto_timer.h"
#include "engine/operation.h"
#include "engine/supervisor.h"
#include "engine/time_query.h"
#include "platform/dialog_testing.h"
#include "resources/dialogs.h"
#include "storage/settings.h"
#include "ui/main_window_display.h"

namespace tavrel::test {

void WindowTest::SetUp() {
    QueryTest::SetUp();
    platform::testing::resetDialogManager();
    platform::testing::useManualTimers(true);
    resetOperationState();
    resetAutoTimerState();
    refreshPeriod.store(kRefreshShownMs);
    closeRequested.store(0);
    statusHold.store(0);
    windowState.store(kWindowShown);
    wakeEvent.reset();
    commands.clear();
    window = platform::createDialog(kMainDialog, [this](platform::WindowHandle, const platform::WindowMessage& m) {
        if (m.kind == platform::MessageKind::Command) commands.push_back(m.id);
        return intptr_t{0};
    });
}

void WindowTest::TearDown() {
    if (queryThread.load() != 0) abortRunningQuery();
    QueryTest::TearDown();
    platform::testing::resetDialogManager();
}

bool WindowTest::runPassesUntil(const std::function<bool()>& done, int maxPasses, uint32_t waitMs) {
    for (int i = 0; i < maxPasses; ++i) {
        if (done()) return true;
        supervisorPass(window);
        platform::pumpMessages();
        if (done()) return true;
        wakeEvent.wait(waitMs);
        wakeEvent.reset();
    }
    return done();
}

std::vector<std::string> WindowTest::statusTexts() {
    return platform::testing::textHistory(window, kIdStatusLine);
}

std::string WindowTest::status() { return platform::getDlgItemText(window, kIdStatusLine); }

}  // namespace tavrel::test
