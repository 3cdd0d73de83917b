// The parts of the system events that every platform shares: the queue the
// engine takes them from, the wake-up of the watch that stands, and the
// measurement of a clock step against this process's own.
#include "platform/system_events.h"

#include <atomic>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <utility>

#include "platform/system_events_source.h"
#include "platform/time.h"

namespace tavrel::platform {
namespace {

// Events the engine has not taken; a machine that keeps changing while
// nobody takes them keeps only the newest.
constexpr size_t kMostQueued = 32;
// A change of the wall clock less the tick count smaller than this is the
// two readings' own jitter or a slew, not a step.
constexpr int64_t kSmallestStepUnits = 10 * static_cast<int64_t>(kFileTimeUnitsPerMs);

// Process-wide like the machine they describe: under queueMutex.
std::mutex queueMutex;
std::deque<SystemEvent> queued;
std::function<void()> currentWake;

// The wall clock less the tick count (100-ns units) at the last look, and
// the steps this process made since.
std::mutex gapMutex;
bool gapKnown = false;
int64_t gapBase = 0;
std::atomic<int64_t> ownSteps{0};

int64_t clockGap() { return static_cast<int64_t>(getSystemTimeAsFileTime()) - system_events::bootTimeUnits(); }

}  // namespace

void raiseSystemEvent(const SystemEvent& event) {
    std::function<void()> wake;
    {
        std::lock_guard lock(queueMutex);
        if (queued.size() >= kMostQueued) queued.pop_front();
        queued.push_back(event);
        wake = currentWake;
    }
    if (wake) wake();
}

std::vector<SystemEvent> takeSystemEvents() {
    std::lock_guard lock(queueMutex);
    std::vector<SystemEvent> events(queued.begin(), queued.end());
    queued.clear();
    return events;
}

void noteOwnClockStep(int64_t units) { ownSteps.fetch_add(units); }

void rebaseClockGap() {
    std::lock_guard lock(gapMutex);
    // While a step of this process is noted, its notice is still to come:
    // the base stays where the step is measured from.
    if (gapKnown && ownSteps.load() != 0) return;
    gapBase = clockGap();
    gapKnown = true;
}

void clockChangeNoticed() {
    int64_t step = 0;
    {
        std::lock_guard lock(gapMutex);
        const int64_t gap = clockGap();
        step = gapKnown ? gap - gapBase - ownSteps.exchange(0) : 0;
        gapBase = gap;
        gapKnown = true;
    }
    if (step >= kSmallestStepUnits || step <= -kSmallestStepUnits) {
        raiseSystemEvent(SystemEvent{SystemEventKind::ClockStepped, step});
    }
}

namespace system_events {

// The watch's wake-up, set while it stands (the platform's watch calls these).
void setWake(std::function<void()> wake) {
    std::lock_guard lock(queueMutex);
    // A new watch begins with what happens from now on; what an earlier
    // one left untaken was another engine's.
    if (wake) queued.clear();
    currentWake = std::move(wake);
}

void startMeasuring() {
    std::lock_guard lock(gapMutex);
    gapBase = clockGap();
    gapKnown = true;
    ownSteps.store(0);
}

}  // namespace system_events

}  // namespace tavrel::platform
