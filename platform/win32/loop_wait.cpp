// The loop's sleep on Windows: an event that other threads set, and the
// thread's window messages, which a backend with windows takes as its input.
// The session's end reaches the windows themselves (WM_QUERYENDSESSION), so
// there is nothing to watch here.
#include <windows.h>

#include "platform/loop_wait.h"

namespace tavrel::platform::loop {
namespace {

HANDLE wakeEvent() {
    static const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event;
}

}  // namespace

void wake() { SetEvent(wakeEvent()); }

int wakeDescriptor() { return -1; }

bool waitForWork(int inputDescriptor, int timeoutMs) {
    HANDLE event = wakeEvent();
    const DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    if (inputDescriptor < 0) {
        WaitForSingleObject(event, timeout);
        return false;
    }
    // MWMO_INPUTAVAILABLE: messages already seen but not yet taken also end
    // the wait, so none sits unhandled while the loop sleeps.
    MsgWaitForMultipleObjectsEx(1, &event, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    return true;
}

// The input watched on Windows is the thread's window messages, which end
// only with the thread.
bool inputEnded(int) { return false; }

void watchSessionEvents() {}

SessionEvents takeSessionEvents() { return {}; }

}  // namespace tavrel::platform::loop
