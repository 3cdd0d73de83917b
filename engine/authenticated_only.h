// "Use authenticated servers only": the walk over the server list keeps to
// its nts:// entries, so that a failing NTS server never hands the clock to
// a plain one below it.
#pragma once

#include <functional>
#include <string>

namespace tavrel {

// Entry n (1-based) of the server list; false when there is none.
using ServerPick = std::function<bool(int n, std::string& name)>;

// The status and log text when the walk found no NTS server that answered
// and left the plain ones alone.
inline constexpr char kNoAuthenticatedAnswer[] =
    "No authenticated server answered; plain servers not asked, clock not corrected";

// True when some entry of the list is an nts:// entry.
bool listHoldsNtsEntry(const ServerPick& pick);

// The walk asks only nts:// entries: the user chose authenticated servers
// only, the servers come from the list, and the list holds an nts:// entry
// (without one the choice has nothing to keep to, and the walk is as usual).
bool authenticatedOnlyWalk(const ServerPick& pick);

}  // namespace tavrel
