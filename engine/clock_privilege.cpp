#include "engine/clock_privilege.h"

#include "platform/process.h"

namespace tavrel {

std::atomic<int32_t> clockPrivilegeHeld{0};

bool enableClockPrivilege() { return platform::clockPrivilegeAvailable(); }

}  // namespace tavrel
