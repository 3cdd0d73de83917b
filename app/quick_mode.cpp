#include "app/quick_mode.h"

#include <cstdio>
#include <string>

#include "engine/clock_correction.h"
#include "engine/time_query.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "servers/server_list.h"
#include "storage/history.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/string_slots.h"
#include "storage/strings.h"

namespace tavrel {
namespace {

constexpr uint64_t kSecondMs = 1000;

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stderr);
    std::fflush(stderr);
}

// Picks entry index + 1, wrapping to the first entry past the end; the
// index actually picked.
int pickFrom(int index, std::string& name) {
    if (readServerEntry(index + 1, name)) return index;
    (void)readServerEntry(1, name);
    return 0;
}

}  // namespace

int runQuickMode() {
    if (serverListEmpty.load() != 0 && settings.serverSource.load() == 0) settings.serverSource.store(1);
    const int32_t source = settings.serverSource.load();
    const bool useList = source == 0;

    // Every listed server is tried once, starting at the selected one.
    std::string name;
    const int start = pickFrom(settings.selectedServer.load(), name);
    int index = start;
    std::string tried;
    for (;;) {
        QueryTarget target;
        if (!useList) {
            name = source == 1 ? manualAddressA() : manualAddressB();
            target.manual = true;
        }
        const bool sntp = effectiveProtocol(1) == 1;
        target.server = name;
        target.useTime = !sntp;
        target.dateRangeEnabled = settings.dateRangeEnabled.load() != 0;
        target.dateRangeLow = settings.dateRangeLow.load();
        target.dateRangeHigh = settings.dateRangeHigh.load();
        target.timeoutMs = static_cast<uint32_t>(settings.syncTimeout.load()) * kSecondMs;

        platform::ManualResetEvent progress;
        TimeQuery query(target, [&progress] { progress.set(); });
        const uint64_t deadline = platform::getTickCount64() + settings.syncTimeout.load() * kSecondMs;
        for (uint64_t now = platform::getTickCount64(); !query.finished() && now < deadline;
             now = platform::getTickCount64()) {
            progress.wait(static_cast<uint32_t>(deadline - now));
            progress.reset();
        }
        // Out of time, even if the reply came at the last moment.
        query.abort();
        HistoryEntry history;
        history.action = "Quick";
        history.server = name;
        history.address = query.addressText();
        history.protocol = sntp ? "SNTP" : "TIME";
        if (query.finished() && query.result().accepted) {
            bool forceTimeProtocol = false;
            const Correction correction =
                correctClock(CorrectionMode::Correct, query.result(), sntp, forceTimeProtocol, name);
            say(correction.outcome);
            history.when = platform::getSystemTimeAsFileTime();
            if (query.result().offsetMeasured) {
                history.offsetSeconds = static_cast<double>(query.result().offsetUnits) /
                                        static_cast<double>(platform::kFileTimeUnitsPerSecond);
            }
            history.roundTripMs = query.result().responseMs;
            history.outcome = correction.clockSet ? "Corrected" : "Clock not set";
            appendHistory(history);
            return correction.clockSet ? kQuickCorrected : kQuickClockNotSet;
        }
        history.when = platform::getSystemTimeAsFileTime();
        history.outcome = "No response";
        appendHistory(history);
        if (query.finished()) widenDateRange(query.result());
        if (settings.logErrors.load() != 0 && settings.logDisabled.load() == 0) logNamedLine(slot(kSlotNoResponse), name, LogLevel::Warning);
        say(slot(kSlotNoResponse) + name);
        tried += (tried.empty() ? "" : ", ") + name;
        if (!useList) break;
        index = pickFrom(index + 1, name);
        if (index == start) break;
    }
    say(slot(kSlotUnableToSync) + tried);
    return kQuickNoAnswer;
}

}  // namespace tavrel
