#pragma once

#include <atomic>
#include <cstdint>

namespace tavrel {

// Set when this process may set the clock; the window treats it as the
// sign of administrator rights. Written at start-up, before any other thread.
// Process-wide as the right itself is: the system grants it to the process.
extern std::atomic<int32_t> clockPrivilegeHeld;

// Enables the right to set the clock where the system has one to enable;
// true when the process holds it.
bool enableClockPrivilege();

}  // namespace tavrel
