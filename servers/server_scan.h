// The server scan: the response time of every listed server by TIME and by
// SNTP, one query at a time, listed in the "SyncScan" window.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/dialog.h"

namespace tavrel {

inline constexpr int kScanTimerId = 1;

// Row of the server being measured.
extern std::atomic<int32_t> scanRow;

// Opens the scan window and starts measuring; refused (false) while a Check
// or Correct runs, so that the two never share the query.
bool openServerScan(platform::WindowHandle owner);
// The scan window, or none.
platform::WindowHandle scanWindow();
// Ends the scan: aborts a running query, gives the borrowed settings back
// and closes the window.
void endServerScan();

}  // namespace tavrel
