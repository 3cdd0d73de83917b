// Sleeping and thread priority on Windows; the manual-reset event is the
// shared one in platform/thread.cpp.
#include <windows.h>

#include "platform/thread.h"

namespace tavrel::platform {

void sleepMs(uint32_t ms) { Sleep(ms); }

void napMicroseconds(uint32_t) { Sleep(0); }

void raiseThreadPriority() {
    // A failure leaves the thread at normal priority, as on Linux.
    (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
}

}  // namespace tavrel::platform
