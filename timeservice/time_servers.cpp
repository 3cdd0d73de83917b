#include "timeservice/time_servers.h"

#include "storage/strings.h"

namespace tavrel {

std::atomic<int32_t> serverActivity{0};

namespace {
constexpr int kSlotTimeServerActive = 112;
constexpr int kSlotSntpServerActive = 113;
constexpr int kSlotBothServersActive = 102;
}  // namespace

std::string serverStateText() {
    switch (serverActivity.load()) {
        case kTimeServerRunning: return slot(kSlotTimeServerActive);
        case kSntpServerRunning: return slot(kSlotSntpServerActive);
        case kTimeServerRunning | kSntpServerRunning: return slot(kSlotBothServersActive);
        default: return std::string();
    }
}

void stopTimeServers() {
    // No server thread exists in this build, so there is nothing to stop.
}

}  // namespace tavrel
