#include "app/quick_mode.h"

#include "engine/clock_correction.h"
#include "engine/operation.h"
#include "engine/supervisor.h"
#include "engine/time_query.h"
#include "platform/time.h"
#include "servers/server_list.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "storage/string_slots.h"

namespace tavrel {
namespace {

constexpr uint32_t kSecondMs = 1000;

// Waits for the running query: until it is accepted, has failed, or
// syncTimeout whole seconds have passed. Wakes as soon as the query ends.
// True when the time ran out.
bool awaitQuery() {
    uint32_t secondsLeft = settings.syncTimeout.load();
    uint32_t secondStart = platform::getTickCount();
    while (secondsLeft > 0) {
        if (queryStep.load() == 6 || queryFailed.load() != 0) return false;
        const uint32_t elapsed = platform::getTickCount() - secondStart;
        if (elapsed >= kSecondMs) {
            --secondsLeft;
            secondStart += kSecondMs;
            continue;
        }
        wakeEvent.wait(kSecondMs - elapsed);
        wakeEvent.reset();
    }
    return true;
}

// Picks entry index + 1, wrapping to the first entry past the end; the
// index actually picked.
int pickFrom(int index) {
    if (readServerList(index + 1) != 0) return index;
    (void)readServerList(1);
    return 0;
}

}  // namespace

void runQuickMode() {
    correctMode.store(1);
    settings.forceTimeProtocol.store(0);
    if (serverListEmpty.load() != 0 && settings.serverSource.load() == 0) settings.serverSource.store(1);
    const bool useList = settings.serverSource.load() == 0;

    // Every listed server is tried once, starting at the selected one.
    const int start = pickFrom(settings.selectedServer.load());
    int index = start;
    for (;;) {
        queryFailed.store(0);
        measuredOffset.store(0);
        queryStep.store(0);
        settings.selectedServer.store(index + 1);
        syncState.store(kSyncActive);
        wakeEvent.reset();
        startTimeQuery();

        if (awaitQuery()) {
            // Out of time, even if the reply came in the last second.
            abortRunningQuery();
            queryFailed.store(1);
        }
        waitForQueryThread();
        if (queryFailed.load() == 0) break;
        if (settings.logErrors.load() != 0 && settings.logDisabled.load() == 0) logServerLine(slot(kSlotNoResponse));
        if (!useList) break;
        index = pickFrom(index + 1);
        if (index == start) break;
    }
    syncState.store(kSyncIdle);
    if (queryFailed.load() == 0) correctClock(kCorrectMode);
}

}  // namespace tavrel
