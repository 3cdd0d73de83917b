#pragma once

namespace tavrel {

// Sync and exit: walks the server list (or asks the manual address once)
// until a server answers, corrects the clock once, and returns. Nothing is
// saved.
void runQuickMode();

}  // namespace tavrel
