#include "engine/operation.h"

#include "engine/clock_correction.h"
#include "engine/supervisor.h"
#include "engine/time_query.h"
#include "platform/time.h"
#include "resources/dialogs.h"
#include "servers/server_list.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "timezone/time_zone.h"
#include "storage/string_slots.h"

namespace tavrel {
namespace {

constexpr int kSlotCheck = 0;
constexpr int kSlotUnableToSync = 79;
constexpr int kSlotInitialising = 80;
constexpr int kSlotAborting = 81;
constexpr int kSlotLookingFor = 82;
constexpr int kSlotWaitingFor = 83;
constexpr int kSlotConverting = 84;
constexpr int kSlotTimeOutOn = 85;
constexpr int kSlotAbort = 90;
constexpr int kSlotCheckTooltip = 123;
constexpr int kSlotCancelTooltip = 154;
constexpr int kSlotCreatingSocket = 197;
constexpr uint32_t kHoldAfterSuccess = 40;
constexpr uint32_t kHoldAfterAbort = 20;
constexpr uint32_t kAverageSamples = 4;

std::atomic<uint32_t> savedRefreshPeriod{kRefreshShownMs};

bool windowTexts() { return serviceMode.load() == 0; }

void showStatus(platform::WindowHandle window, const std::string& text) {
    if (windowTexts()) platform::setDlgItemText(window, kIdStatusLine, text);
}

bool logErrorsAllowed() { return settings.logErrors.load() != 0 && settings.logDisabled.load() == 0; }

// The progress table: at most one step a pass; false when no row applied.
bool showProgress(platform::WindowHandle window) {
    const int32_t shown = shownStep.load();
    const uint32_t step = queryStep.load();
    if (shown >= 5 || step <= static_cast<uint32_t>(shown)) return false;
    switch (shown) {
        case 0: showStatus(window, slot(kSlotInitialising)); break;
        case 1: showStatus(window, slot(kSlotCreatingSocket)); break;
        case 2: showStatus(window, slot(kSlotLookingFor) + serverAddressText()); break;
        case 3: showStatus(window, slot(kSlotWaitingFor) + currentServerName()); break;
        case 4: showStatus(window, slot(kSlotConverting)); break;
    }
    shownStep.store(shown + 1);
    return true;
}

void failureStep(platform::WindowHandle window) {
    showStatus(window, slot(kSlotUnableToSync) + currentServerName());
    queryFailed.store(0);
    queryStep.store(0);
    shownStep.store(0);
    if (logErrorsAllowed()) logServerLine(slot(kSlotNoResponse));
    if (settings.defaultServerOnly.load() != 0 || settings.serverSource.load() != 0 ||
        settings.abortQuery.load() != 0) {
        finishOperation(window);
    } else {
        nextServer(window);
    }
}

void timeOutStep(platform::WindowHandle window) {
    showStatus(window, slot(kSlotTimeOutOn) + currentServerName());
    abortRunningQuery();
    queryFailed.store(1);
    queryStep.store(0);
    shownStep.store(0);
    if (settings.serverSource.load() == 0 && settings.defaultServerOnly.load() == 0) {
        settings.abortQuery.store(0);
    } else {
        syncState.store(kSyncStopRequested);
    }
}

void successStep(platform::WindowHandle window) {
    if (windowTexts()) {
        platform::setDlgItemText(window, kIdServerName, currentServerName());
        statusHold.store(kHoldAfterSuccess);
    }
    if (correctMode.load() != 0) {
        correctClock(kCorrectMode);
        if (settings.dateRangeAutoReset.load() != 0 && settings.dateRangeEnabled.load() != 0) resetDateRange();
        showStatus(window, queryFailed.load() == 0 ? formatDifference(DifferenceForm::Status)
                                                   : slot(kSlotErrorSettingTime));
    } else {
        showStatus(window, slot(kSlotTimeChecked) + ", " + formatDifference(DifferenceForm::Check));
        correctClock(kCheckMode);
        serverClockRunning.store(1);
    }
    queryFailed.store(0);
    finishOperation(window);
}

}  // namespace

void startOperation(platform::WindowHandle window) {
    if (syncState.load() != kSyncIdle) return;
    refreshTimeZone(window);
    syncState.store(kSyncActive);
    settings.forceTimeProtocol.store(0);
    if (serverListEmpty.load() != 0 && settings.serverSource.load() == 0) settings.serverSource.store(1);
    if (settings.timeServerEnabled.load() == 0) {
        platform::setDlgItemText(window, kIdCheckButton, slot(kSlotAbort));
        platform::setControlTooltip(window, kIdCheckButton, slot(kSlotCancelTooltip));
        platform::enableDlgItem(window, kIdCorrectButton, false);
        platform::enableDlgItem(window, kIdOptionsButton, false);
        platform::setDlgItemText(window, kIdStatusLine, "");
    }
    (void)readServerList(settings.selectedServer.load() + 1);
    measuredOffset.store(0);
    if (settings.averageEnabled.load() != 0) {
        averageCount.store(0);
        averageSum.store(0);
    }
    savedRefreshPeriod.store(refreshPeriod.load());
    refreshPeriod.store(kRefreshOperationMs);
    startTimeQuery();
}

void finishOperation(platform::WindowHandle window) {
    platform::setDlgItemText(window, kIdCheckButton, slot(kSlotCheck));
    platform::setControlTooltip(window, kIdCheckButton, slot(kSlotCheckTooltip));
    platform::enableDlgItem(window, kIdCorrectButton, true);
    platform::enableDlgItem(window, kIdOptionsButton, true);
    queryStep.store(0);
    shownStep.store(0);
    syncState.store(kSyncIdle);
    refreshPeriod.store(savedRefreshPeriod.load());
}

void nextServer(platform::WindowHandle window) {
    if (settings.protocol.load() == 2 && autoProtocolChoice.load() == 1) {
        autoProtocolChoice.store(0);
    } else {
        autoProtocolChoice.store(1);
        settings.selectedServer.store(settings.selectedServer.load() + 1);
        if (readServerList(settings.selectedServer.load() + 1) == 0) {
            settings.selectedServer.store(0);
            if (readServerList(1) == 0) {
                finishOperation(window);
                return;
            }
        }
    }
    startTimeQuery();
}

void collectAverageSample(platform::WindowHandle window) {
    if (queryStep.load() != 6 || shownStep.load() != 5) return;
    if (serverSeconds.load() != 0) {
        averageSum.store(averageSum.load() + serverSeconds.load() / kAverageSamples);
        const uint32_t now = platform::getTickCount();
        uint32_t elapsed = now - replyTick.load();
        if (averageCount.load() != 0) elapsed += (now - averageLastTick.load()) * averageCount.load();
        averageLastTick.store(now);
        averageSum.store(averageSum.load() + (elapsed / 1000) / kAverageSamples);
        averageCount.store(averageCount.load() + 1);
    }
    if (averageCount.load() == kAverageSamples) {
        serverSeconds.store(averageSum.load());
    } else {
        queryStep.store(0);
        shownStep.store(0);
        nextServer(window);
    }
}

void operationPass(platform::WindowHandle window) {
    if (shownStep.load() != 0) {
        const int32_t left = timeoutCountdown.load() - 1;
        timeoutCountdown.store(left);
        if (left == 0) timeOutStep(window);
    }
    if (serviceMode.load() != 0 && queryFailed.load() == 0 && queryStep.load() < 6) {
        shownStep.store(static_cast<int32_t>(queryStep.load()));
    }
    if (!showProgress(window) && queryFailed.load() == 1) {
        failureStep(window);
        return;
    }
    if (settings.averageEnabled.load() != 0) collectAverageSample(window);
    if (queryStep.load() == 6 && shownStep.load() == 5) successStep(window);
}

void abortOperation(platform::WindowHandle window) {
    platform::setDlgItemText(window, kIdStatusLine, slot(kSlotAborting));
    abortRunningQuery();
    finishOperation(window);
    statusHold.store(kHoldAfterAbort);
}

void resetOperationState() {
    syncState.store(kSyncIdle);
    correctMode.store(0);
    shownStep.store(0);
    scanActive.store(0);
    averageCount.store(0);
    averageSum.store(0);
    averageLastTick.store(0);
    savedRefreshPeriod.store(kRefreshShownMs);
}

}  // namespace tavrel
