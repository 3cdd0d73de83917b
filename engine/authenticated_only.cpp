#include "engine/authenticated_only.h"

#include "nts/nts_server_entry.h"
#include "storage/settings.h"

namespace tavrel {

bool listHoldsNtsEntry(const ServerPick& pick) {
    std::string name;
    for (int n = 1; pick(n, name); ++n) {
        if (isNtsEntry(name)) return true;
    }
    return false;
}

bool authenticatedOnlyWalk(const ServerPick& pick) {
    return settings.authenticatedOnly.load() && settings.serverSource.load() == ServerSource::List &&
           listHoldsNtsEntry(pick);
}

}  // namespace tavrel
