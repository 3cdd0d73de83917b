// Threads and synchronisation: a joinable thread owner, the manual-reset
// event and sleep.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace tavrel::platform {

// A manual-reset event: once set it stays set, waking every waiter, until
// reset.
class ManualResetEvent {
public:
    void set();
    void reset();
    // Waits until set or until timeoutMs passed; true when set.
    bool wait(uint32_t timeoutMs);
    bool isSet();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

void sleepMs(uint32_t ms);
// A pause shorter than a millisecond where the system has one (Linux);
// elsewhere the rest of the time slice only.
void napMicroseconds(uint32_t us);

// Raises the calling thread's scheduling priority a step, where permitted.
void raiseThreadPriority();

}  // namespace tavrel::platform
