#include "platform/thread.h"

#include <chrono>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tavrel::platform {

void sleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void napMicroseconds(uint32_t us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

void raiseThreadPriority() {
    // A lower nice value for this thread only; refused without privilege,
    // which leaves the thread at normal priority.
    const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), current - 1);
}

}  // namespace tavrel::platform
