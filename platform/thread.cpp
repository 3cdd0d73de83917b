// The manual-reset event, built on the standard library alike everywhere;
// sleeping and thread priority live with each platform.
#include "platform/thread.h"

#include <chrono>

namespace tavrel::platform {

void ManualResetEvent::set() {
    {
        std::lock_guard lock(mutex_);
        set_ = true;
    }
    cv_.notify_all();
}

void ManualResetEvent::reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
}

bool ManualResetEvent::wait(uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
}

bool ManualResetEvent::isSet() {
    std::lock_guard lock(mutex_);
    return set_;
}

}  // namespace tavrel::platform
