#include "engine/supervisor.h"

#include "storage/log.h"
#include "storage/settings.h"
#include "storage/string_slots.h"
#include "storage/strings.h"

namespace tavrel {
namespace {

constexpr uint32_t kReadyAt = 20;
constexpr uint32_t kHoldAtStart = 20;
constexpr uint32_t kHoldAfterServerLine = 40;
constexpr int32_t kCountdownPasses = 30;
constexpr size_t kMostRequests = 16;
// Counted when the tick count has not advanced since the last step.
constexpr uint64_t kStalledTickMs = 10'000;

}  // namespace

Engine::Engine(EngineView& view, EngineConfig config)
    : view_(view),
      config_(std::move(config)),
      windowState_(config_.serviceMode ? WindowState::Service : WindowState::Shown),
      statusHold_(kHoldAtStart),
      operation_(OperationHost{view, config_.serviceMode, config_.pickServer, config_.serverListEmpty, [this] { wakeEvent_.set(); },
                               statusHold_, serverClock_, autoProtocolChoice_,
                               [this](platform::FileTime at, uint32_t roundTripMs, uint32_t errorMs,
                                      uint32_t referenceId) {
                                   std::lock_guard lock(standingMutex_);
                                   standing_.lastSync = at;
                                   standing_.lastSyncRoundTripMs = roundTripMs;
                                   standing_.lastSyncErrorMs = errorMs;
                                   standing_.sourceReferenceId = referenceId;
                               }}) {}

ClockStanding Engine::clockStanding() const {
    std::lock_guard lock(standingMutex_);
    return standing_;
}

Engine::~Engine() {
    requestClose();
    wake();
    join();
}

void Engine::start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] { supervise(); });
}

void Engine::join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool Engine::busyAfterRequests() const {
    // The requests not yet carried out count as done: a Check pressed after
    // an Abort starts a new operation, one pressed after a Check aborts it.
    bool running = operationRunning_.load();
    for (const Request& r : requests_) {
        if (r.kind == Request::Kind::Start && !scanActive_.load()) running = true;
        if (r.kind == Request::Kind::Abort) running = false;
    }
    return running;
}

bool Engine::requestOperation(OperationKind kind, bool automatic) {
    {
        std::lock_guard lock(requestMutex_);
        if (busyAfterRequests() || requests_.size() >= kMostRequests) return false;
        requests_.push_back(Request{Request::Kind::Start, kind, automatic});
    }
    wake();
    return true;
}

void Engine::requestAbort() {
    {
        std::lock_guard lock(requestMutex_);
        if (requests_.size() < kMostRequests) requests_.push_back(Request{Request::Kind::Abort});
    }
    wake();
}

void Engine::requestSessionEnd() {
    {
        std::lock_guard lock(requestMutex_);
        if (requests_.size() < kMostRequests) requests_.push_back(Request{Request::Kind::SessionEnd});
    }
    wake();
}

void Engine::showServerStatus(std::string text) {
    {
        std::lock_guard lock(requestMutex_);
        serverStatus_ = std::move(text);
    }
    wake();
}

bool Engine::busy() const {
    std::lock_guard lock(requestMutex_);
    return busyAfterRequests();
}

void Engine::setWindowState(WindowState state) {
    windowState_.store(state);
    wake();
}

void Engine::setCountdown(Countdown countdown) {
    std::lock_guard lock(requestMutex_);
    countdown_ = countdown;
}

uint32_t Engine::refreshPeriod() const {
    if (operationRunning_.load()) return kRefreshOperationMs;
    if (config_.serviceMode) return kRefreshHiddenMs;
    return windowState_.load() == WindowState::Shown ? kRefreshShownMs : kRefreshHiddenMs;
}

bool Engine::takeRequests() {
    // Each request stays in the queue until its effect is published, so
    // that busy() never sees it neither waiting nor done.
    bool aborted = false;
    for (;;) {
        Request request;
        {
            std::lock_guard lock(requestMutex_);
            if (requests_.empty()) break;
            request = requests_.front();
        }
        switch (request.kind) {
            case Request::Kind::Start:
                if (!scanActive_.load()) operation_.start(request.operation, request.automatic);
                break;
            case Request::Kind::Abort:
                aborted = aborted || operation_.running();
                operation_.abort();
                break;
            case Request::Kind::SessionEnd: operation_.stopQueries(); break;
        }
        std::lock_guard lock(requestMutex_);
        requests_.pop_front();
        operationRunning_.store(operation_.running());
    }
    std::optional<std::string> serverStatus;
    {
        std::lock_guard lock(requestMutex_);
        // A server's line waits until no operation runs.
        if (!operation_.running()) serverStatus.swap(serverStatus_);
    }
    if (serverStatus && !config_.serviceMode) {
        view_.showStatus(*serverStatus);
        statusHold_ = kHoldAfterServerLine;
    }
    return aborted;
}

void Engine::pass() {
    // "Aborting..." stays until the next pass brings "Ready".
    const bool aborted = takeRequests();
    operation_.releaseEndedQueries();
    if (operation_.running() && !scanActive_.load()) {
        operation_.pass();
        // The local clock runs on through every step of an operation: a
        // name that takes seconds to resolve, a server that never answers,
        // the wait for the walk's next round.
        if (!config_.serviceMode && windowState_.load() == WindowState::Shown) operationClockPass();
    } else if (!aborted) {
        idleDisplay();
    }
    {
        std::lock_guard lock(requestMutex_);
        operationRunning_.store(operation_.running());
    }
    waitingForRound_.store(operation_.waitingForRound());
    serverClockPass();
}

void Engine::idleDisplay() {
    if (statusHold_ > 0) {
        if (statusHold_ == kReadyAt && !config_.serviceMode) view_.showStatus(slot(kSlotReady) + view_.statusSuffix());
        // The service's hold is never counted down: it shows nothing.
        if (!config_.serviceMode) --statusHold_;
    }
    if (config_.serviceMode) {
        serviceAutoSyncPass();
        return;
    }
    const WindowState state = windowState_.load();
    const bool restored = state == WindowState::Shown && drawnState_ != WindowState::Shown;
    drawnState_ = state;
    if (state != WindowState::Shown) return;

    view_.showLocalClock(platform::getLocalTime());
    Countdown countdown;
    {
        std::lock_guard lock(requestMutex_);
        countdown = countdown_;
    }
    // Every 31st pass, on every pass while seconds show, and at once after a restore.
    if ((countdownTick_ == 0 || countdownShowsSeconds_ || restored) && statusHold_ == 0 &&
        countdown.kind != AutoKind::None) {
        const int64_t left =
            static_cast<int64_t>(countdown.dueTick) - static_cast<int64_t>(platform::getTickCount64());
        const CountdownText text = formatCountdown(countdown.kind, left);
        countdownShowsSeconds_ = text.showsSeconds;
        view_.showStatus(text.text + view_.statusSuffix());
    }
    countdownTick_ = countdownTick_ + 1 > kCountdownPasses ? 0 : countdownTick_ + 1;
}

void Engine::operationClockPass() {
    // Passes come ten times a second during an operation: the clock is
    // redrawn when its second has changed.
    const platform::SystemTime now = platform::getLocalTime();
    const platform::SystemTime& drawn = operationClockDrawn_;
    if (now.second == drawn.second && now.minute == drawn.minute && now.hour == drawn.hour && now.day == drawn.day &&
        now.month == drawn.month && now.year == drawn.year) {
        return;
    }
    operationClockDrawn_ = now;
    view_.showLocalClock(now);
}

void Engine::serverClockPass() {
    if (!serverClock_.running) return;
    const uint32_t now = platform::getTickCount();
    // Milliseconds to 100-ns units; the product is taken in 32 bits.
    serverClock_.value += static_cast<uint32_t>((now - serverClock_.tick) * 10000u);
    serverClock_.tick = now;
    if (config_.serviceMode || windowState_.load() != WindowState::Shown) return;
    platform::SystemTime shown{};
    if (platform::fileTimeToSystemTime(serverClock_.value, shown)) view_.showServerClock(shown);
}

void Engine::serviceStartSteps() {
    // The service always has work: AutoCheck is off, and AutoSync every 4
    // hours when nothing else would run.
    settings.autoCheckEnabled.store(false);
    if (!settings.autoSyncEnabled.load() && !settings.timeServerEnabled.load()) {
        settings.autoSyncUnit.store(TimeUnit::Hours);
        settings.autoSyncCount.store(4);
        settings.autoSyncEnabled.store(true);
    }
    serviceAutoSyncLeft_ = 0;
    serviceAutoSyncTick_ = platform::getTickCount64();
    std::string text = slot(kSlotStartedService);
    if (settings.timeServerEnabled.load()) text += slot(kSlotBothServersActive) + " ";
    if (settings.autoSyncEnabled.load()) {
        const TimeUnit unit = settings.autoSyncUnit.load();
        text += std::to_string(settings.autoSyncCount.load());
        text += slot(unit == TimeUnit::Minutes ? kSlotMinutesSuffix
                     : unit == TimeUnit::Hours ? kSlotHoursSuffix
                                               : kSlotDaysSuffix);
        text += slot(kSlotUntilAutoSync);
    }
    logLine(text);  // whatever the log settings say
}

void Engine::serviceAutoSyncPass() {
    if (!settings.autoSyncEnabled.load()) return;
    if (serviceAutoSyncLeft_ == 0) {
        serviceAutoSyncLeft_ = static_cast<uint64_t>(autoSyncPeriod().count());
        return;
    }
    const uint64_t now = platform::getTickCount64();
    const uint64_t elapsed = now > serviceAutoSyncTick_ ? now - serviceAutoSyncTick_ : kStalledTickMs;
    serviceAutoSyncTick_ = now;
    if (elapsed >= serviceAutoSyncLeft_) {
        serviceAutoSyncLeft_ = 0;
        operation_.start(OperationKind::Correct);
    } else {
        serviceAutoSyncLeft_ -= elapsed;
    }
}

void Engine::supervise() {
    if (config_.serviceMode) serviceStartSteps();
    do {
        pass();
        uint32_t wait = refreshPeriod();
        const uint64_t due = operation_.msUntilDue();
        if (operation_.running() && due < wait) wait = static_cast<uint32_t>(due);
        wakeEvent_.wait(wait);
        wakeEvent_.reset();
    } while (!closeRequested_.load());
    if (config_.serviceMode) logLine(slot(kSlotServiceStopped));  // whatever the log settings say
    view_.supervisorEnded();
    ended_.store(true);
}

}  // namespace tavrel
