#include "app/quick_mode.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "engine/authenticated_only.h"
#include "engine/clock_correction.h"
#include "engine/time_query.h"
#include "nts/nts_server_entry.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "servers/server_list.h"
#include "storage/history.h"
#include "storage/log.h"
#include "storage/plain_text.h"
#include "storage/settings.h"
#include "storage/string_slots.h"
#include "storage/strings.h"

namespace tavrel {
namespace {

// A line on standard error; it may hold a server's name, so its control
// characters are escaped.
void say(const std::string& line) {
    std::fputs((plainText(line) + "\n").c_str(), stderr);
    std::fflush(stderr);
}

// Picks entry index + 1, wrapping to the first entry past the end; the
// index actually picked.
int pickFrom(int index, std::string& name) {
    if (readServerEntry(index + 1, name)) return index;
    (void)readServerEntry(1, name);
    return 0;
}

// The sync time-out in ms.
uint64_t syncTimeoutMs() {
    return static_cast<uint64_t>(std::chrono::milliseconds(settings.syncTimeout.load()).count());
}

// One query under the sync time-out, and not past `runDeadline`; a query
// still running then is given up and handed to `leftBehind` (its thread may
// be stuck in a name lookup). The reply, or none.
std::optional<QueryResult> ask(const QueryTarget& target, std::string& address, LeftBehindQueries& leftBehind,
                               uint64_t runDeadline) {
    // Shared with the query: one left behind may still signal it.
    auto progress = std::make_shared<platform::ManualResetEvent>();
    auto query = std::make_unique<TimeQuery>(target, [progress] { progress->set(); });
    const uint64_t deadline = std::min(platform::getTickCount64() + syncTimeoutMs(), runDeadline);
    for (uint64_t now = platform::getTickCount64(); !query->finished() && now < deadline;
         now = platform::getTickCount64()) {
        progress->wait(static_cast<uint32_t>(deadline - now));
        progress->reset();
    }
    address = query->addressText();
    if (!query->finished()) {
        // Out of time, even if the reply came at the last moment.
        query->abort();
        leftBehind.push_back(std::move(query));
        return std::nullopt;
    }
    return query->result();
}

}  // namespace

std::chrono::seconds quickRunLimit() {
    const char* text = std::getenv("TAVREL_QUICK_LIMIT");
    if (text == nullptr || *text == '\0') return kQuickRunLimit;
    constexpr long kDaySeconds = 86'400;
    char* end = nullptr;
    errno = 0;
    const long seconds = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || seconds < 1 || seconds > kDaySeconds) {
        say(std::string("TAVREL_QUICK_LIMIT is not a number of seconds from 1 to 86400; the run may take ") +
            std::to_string(kQuickRunLimit.count()) + " s");
        return kQuickRunLimit;
    }
    return std::chrono::seconds(seconds);
}

int runQuickMode(std::chrono::seconds limit) {
    LeftBehindQueries leftBehind;
    return runQuickMode(leftBehind, limit);
}

int runQuickMode(LeftBehindQueries& leftBehind, std::chrono::seconds limit) {
    const uint64_t runDeadline =
        platform::getTickCount64() + static_cast<uint64_t>(std::chrono::milliseconds(limit).count());
    if (serverListEmpty.load() != 0 && settings.serverSource.load() == ServerSource::List) {
        settings.serverSource.store(ServerSource::ManualA);
    }
    const ServerSource source = settings.serverSource.load();
    const bool useList = source == ServerSource::List;
    const bool autoProtocol = settings.protocol.load() == Protocol::Auto;
    DateRangeWidening widened;
    // Only the list's nts:// entries are asked where the user keeps to
    // authenticated servers.
    const bool ntsOnly = authenticatedOnlyWalk(readServerEntry);

    // Every listed server is tried once, starting at the selected one.
    std::string name;
    const int start = pickFrom(settings.selectedServer.load(), name);
    int index = start;
    std::string tried;
    bool outOfTime = false;
    for (;;) {
        if (ntsOnly && !isNtsEntry(name)) {
            index = pickFrom(index + 1, name);
            if (index == start) break;
            continue;
        }
        QueryTarget target;
        if (!useList) {
            name = source == ServerSource::ManualA ? manualAddressA() : manualAddressB();
            target.manual = true;
        }
        target.server = name;
        target.dateRangeEnabled = settings.dateRangeEnabled.load();
        target.dateRangeLow = settings.dateRangeLow.load();
        target.dateRangeHigh = settings.dateRangeHigh.load();
        target.timeoutMs = static_cast<uint32_t>(syncTimeoutMs());
        // No correction of its own vouches for the clock: the system's word.
        target.clockKnownGood = clockKnownGood(ClockStanding{});
        // SNTP first; under Auto TIME too where SNTP reached the server and
        // was not told to keep away.
        // An nts:// entry is asked by NTS whatever the protocol setting, and
        // never falls back.
        const bool nts = isNtsEntry(name);
        // What the server was asked by, each with why it failed where it
        // said: "SNTP (refused: DENY) and TIME".
        std::string askedBy;
        for (bool sntp = nts || effectiveProtocol(Protocol::Sntp) == Protocol::Sntp;; sntp = false) {
            target.useTime = !sntp;
            HistoryEntry history;
            history.action = "Quick";
            history.server = name;
            history.protocol = nts ? "NTS" : sntp ? "SNTP" : "TIME";
            const std::optional<QueryResult> reply = ask(target, history.address, leftBehind, runDeadline);
            if (reply && reply->accepted) {
                logRefusedSamples(*reply, name);
                if (reply->certificateCheckedByServer && !settings.logDisabled.load()) {
                    logLine(certificateCheckedLine(reply->offsetUnits));
                }
                bool forceTimeProtocol = false;
                // Stepped, never slewed: the run ends at once, and a slew
                // (up to 1000 s for half a second) would be cut off with it
                // where the system does not carry it on (Windows).
                const Correction correction = correctClock(CorrectionMode::Correct, *reply, sntp, forceTimeProtocol,
                                                           name, ClockRoute::Direct, SlewUse::Never);
                say(correction.outcome);
                // The server's time at the reply, right even where the clock was not set.
                history.when = serverTimeAtReply(*reply);
                history.offsetSeconds = static_cast<double>(reply->offsetUnits) /
                                        static_cast<double>(platform::kFileTimeUnitsPerSecond);
                history.roundTripMs = reply->responseMs;
                if (correction.clockSet) {
                    history.changeSeconds = static_cast<double>(correction.difference.units) /
                                            static_cast<double>(platform::kFileTimeUnitsPerSecond);
                }
                history.outcome = correction.clockSet ? "Corrected" : "Clock not set";
                appendHistory(history);
                return correction.clockSet ? kQuickCorrected : kQuickClockNotSet;
            }
            history.when = platform::getSystemTimeAsFileTime();
            history.outcome = "No response";
            appendHistory(history);
            if (reply) widenDateRange(*reply, widened);
            const std::string reason = !reply                        ? std::string()
                                       : !reply->kiss.empty()        ? " (refused: " + reply->kiss + ")"
                                       : !reply->failure.empty()     ? " (" + reply->failure + ")"
                                                                     : std::string();
            askedBy += (askedBy.empty() ? "" : " and ") + history.protocol + reason;
            outOfTime = platform::getTickCount64() >= runDeadline;
            const bool timeMayHelp = !nts && !history.address.empty() && (!reply || reply->kiss.empty());
            if (outOfTime || !(sntp && autoProtocol && timeMayHelp)) break;
        }
        // One line a server, in the log as on standard error.
        const std::string line = name + " by " + askedBy;
        if (settings.logErrors.load() && !settings.logDisabled.load()) {
            logNamedLine(slot(kSlotNoResponse), line, LogLevel::Warning);
        }
        say(slot(kSlotNoResponse) + line);
        tried += (tried.empty() ? "" : ", ") + name;
        if (!useList || outOfTime) break;
        index = pickFrom(index + 1, name);
        if (index == start) break;
    }
    if (ntsOnly) {
        if (settings.logErrors.load() && !settings.logDisabled.load()) {
            logLine(kNoAuthenticatedAnswer, LogLevel::Warning);
        }
        say(kNoAuthenticatedAnswer);
    }
    std::string last = slot(kSlotUnableToSync) + tried;
    if (outOfTime) last += " (stopped after " + std::to_string(limit.count()) + " s)";
    say(last);
    return kQuickNoAnswer;
}

}  // namespace tavrel
