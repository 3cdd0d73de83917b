#include "engine/operation.h"
#include "engine/supervisor.h"

namespace tavrel {

std::atomic<int32_t> syncState{kSyncIdle};
std::atomic<int32_t> correctMode{0};
std::atomic<int32_t> shownStep{0};
std::atomic<int32_t> scanActive{0};
std::atomic<uint32_t> averageCount{0};
std::atomic<uint32_t> averageSum{0};
std::atomic<uint32_t> averageLastTick{0};

platform::ManualResetEvent wakeEvent;
std::atomic<uint32_t> refreshPeriod{kRefreshShownMs};
std::atomic<int32_t> closeRequested{0};
std::atomic<uint32_t> statusHold{0};

}  // namespace tavrel
