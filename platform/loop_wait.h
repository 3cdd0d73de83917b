// How a window toolkit's loop sleeps and is woken on each system: the
// wake-up that other threads give it, the wait for that wake-up, input or
// the next timer, and the session's end.
#pragma once

namespace tavrel::platform::loop {

// Wakes the loop from any thread; a wake-up given while the loop runs is
// kept for its next wait.
void wake();
// Sleeps until woken, input is ready on inputDescriptor, or timeoutMs
// passed (-1: no limit). inputDescriptor -1 watches no input; on Windows
// any other value stands for the thread's window messages. True when
// there may be input to take.
bool waitForWork(int inputDescriptor, int timeoutMs);
// The descriptor that the wake-up makes readable, for a loop that sleeps
// elsewhere (GTK's); reading it takes the wake-up. -1 on Windows.
int wakeDescriptor();

// True when the input on inputDescriptor has ended for good (the terminal
// hung up, the pipe closed): nothing is left to read and nothing will come.
bool inputEnded(int inputDescriptor);

// Starts noting the session's end, an interrupt, and the notification
// area coming back.
void watchSessionEvents();
struct SessionEvents {
    bool ending = false;          // SIGTERM, SIGHUP
    bool interrupted = false;     // SIGINT (Ctrl-C)
    bool taskbarCreated = false;  // SIGUSR1
};
// What was noted since the last call.
SessionEvents takeSessionEvents();

}  // namespace tavrel::platform::loop
