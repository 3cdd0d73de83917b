// How the dialog manager's loop sleeps and is woken on each system: the
// wake-up that other threads give it, the wait for that wake-up, the
// backend's input or the next timer, and the session's end.
#pragma once

#include "platform/dialog_backend.h"

namespace tavrel::platform::loop {

// Wakes the loop from any thread; a wake-up given while the loop runs is
// kept for its next wait.
void wake();
// Sleeps until woken, the backend has input, or timeoutMs passed (-1: no
// limit); hands arrived input to backend->handleInput().
void waitForWork(DialogBackend* backend, int timeoutMs);

// Starts noting the session's end and the notification area coming back.
void watchSessionEvents();
struct SessionEvents {
    bool ending = false;
    bool taskbarCreated = false;
};
// What was noted since the last call.
SessionEvents takeSessionEvents();

}  // namespace tavrel::platform::loop
