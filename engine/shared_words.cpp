#include "engine/operation.h"
#include "engine/supervisor.h"

namespace tavrel {

std::atomic<int32_t> syncState{kSyncIdle};
std::atomic<int32_t> correctMode{0};
platform::ManualResetEvent wakeEvent;

}  // namespace tavrel
