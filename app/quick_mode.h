#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "engine/time_query.h"

namespace tavrel {

// What "/q" ends with.
inline constexpr int kQuickCorrected = 0;
inline constexpr int kQuickNoAnswer = 1;  // no server answered, or every reply was refused
inline constexpr int kQuickClockNotSet = 2;

// Queries given up at their time-out whose threads still run (a name
// lookup the system will not cut short): the process ends without waiting
// for them.
using LeftBehindQueries = std::vector<std::unique_ptr<TimeQuery>>;

// How long a whole "/q" run may take unless TAVREL_QUICK_LIMIT (seconds)
// says otherwise: a run that starts at logon or from a script must end
// even when every server is silent or the names never resolve.
inline constexpr std::chrono::seconds kQuickRunLimit{60};
// The run's bound: TAVREL_QUICK_LIMIT when it holds a whole number of
// seconds from 1 to a day, else kQuickRunLimit.
std::chrono::seconds quickRunLimit();

// Sync and exit: walks the server list once from the selected server (or
// asks the manual address once) until a server answers, corrects the clock
// once (a step, never a slew: the clock is right when the run ends), and
// returns the exit status. Under Auto a server that SNTP reaches
// in vain is asked by TIME too. Writes a line for each server that failed
// (naming the protocols it was asked by) and a last line with the outcome
// to standard error, in the log's words. Nothing is saved. Each query gets
// the sync time-out, and none goes on past `limit` from the start; one
// still running then is handed to `leftBehind`, which the caller keeps
// until the process ends.
int runQuickMode(LeftBehindQueries& leftBehind, std::chrono::seconds limit = kQuickRunLimit);
// The same, waiting for the queries left behind before it returns.
int runQuickMode(std::chrono::seconds limit = kQuickRunLimit);

}  // namespace tavrel
