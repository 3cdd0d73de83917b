// The server scan: the response time of every listed server by TIME and by
// SNTP, one query at a time, listed in the "SyncScan" window. The scan works
// on its own copy of the list and runs its own queries; it changes no
// setting.
#pragma once

#include "engine/supervisor.h"
#include "gui/dialog.h"

namespace tavrel {

inline constexpr int kScanTimerId = 1;

// Opens the scan window and starts measuring; refused (false) while a Check
// or Correct runs or a scan is open. Operations wait while it measures.
bool openServerScan(gui::WindowHandle owner, Engine& engine);
// The scan window, or none.
gui::WindowHandle scanWindow();
// Ends the scan: gives up a running query and closes the window.
void endServerScan();
// True while a query the scan gave up has not yet ended (tests).
bool scanQueriesPending();
// The measurement under way has its answer (or failure): the next tick
// records it (tests).
bool scanMeasurementDone();

}  // namespace tavrel
