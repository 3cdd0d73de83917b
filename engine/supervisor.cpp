#include "engine/supervisor.h"

#include "storage/history.h"
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
// The log's line and the History's row for a clock another program set.
constexpr char kClockSetElsewhere[] = "The clock was set by another program: ";
constexpr char kClockSetElsewhereAction[] = "Other program";
constexpr char kClockSetElsewhereOutcome[] = "Clock set";

}  // namespace

Engine::Engine(EngineView& view, EngineConfig config)
    : view_(view),
      config_(std::move(config)),
      windowState_(config_.serviceMode ? WindowState::Service : WindowState::Shown),
      statusHold_(kHoldAtStart),
      operation_(OperationHost{view, config_.serviceMode, config_.pickServer, config_.serverListEmpty, [this] { wakeEvent_.set(); },
                               statusHold_, serverClock_, autoProtocolChoice_,
                               [this](const ClockStanding& sync) {
                                   // The last correction's or check's findings; what the
                                   // system says and the clock's rate stay as they are.
                                   std::lock_guard lock(standingMutex_);
                                   const ClockStanding kept = standing_;
                                   standing_ = sync;
                                   standing_.systemSynchronised = kept.systemSynchronised;
                                   standing_.systemMaxErrorUs = kept.systemMaxErrorUs;
                                   standing_.dispersionRatePpm = kept.dispersionRatePpm;
                               },
                               [this](const QueryResult& reply, bool sntp, const Correction& correction, bool correct) {
                                   rate_.measured(reply, sntp, correction, correct);
                               },
                               [this] { return clockKnownGood(); }}) {}

bool Engine::clockKnownGood() const { return tavrel::clockKnownGood(clockStanding()); }

ClockStanding Engine::clockStanding() const {
    std::lock_guard lock(standingMutex_);
    ClockStanding standing = standing_;
    // What is known of the clock decays at the uncertainty of its learned
    // rate once that is known well enough to steer by; at the protocol's
    // tolerance until then (a fit of a few samples may be far looser).
    const std::optional<double> uncertainty = rate_.uncertaintyPpm();
    if (uncertainty && *uncertainty < kSteerBelowPpm) standing.dispersionRatePpm = *uncertainty;
    return standing;
}

Engine::~Engine() {
    requestClose();
    wake();
    join();
}

void Engine::start() {
    if (thread_.joinable()) return;
    systemEvents_ = std::make_unique<platform::SystemEventWatch>([this] { wakeEvent_.set(); });
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
    systemEventsPass();
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

void Engine::systemEventsPass() {
    bool resumed = false;
    for (const platform::SystemEvent& event : platform::takeSystemEvents()) {
        switch (event.kind) {
            // One wake however many sources told of it.
            case platform::SystemEventKind::Resumed: resumed = true; break;
            case platform::SystemEventKind::NetworkChanged: operation_.retryNow(); break;
            case platform::SystemEventKind::ClockStepped: clockSetElsewhere(event.stepUnits); break;
        }
    }
    if (resumed) machineResumed();
}

void Engine::machineResumed() {
    // The supervisor's own waits count no sleep: what fell due meanwhile is
    // due now. A walk that waits tries again at once.
    if (operation_.running()) {
        operation_.retryNow();
        return;
    }
    if (config_.serviceMode) {
        // The service corrects the clock at every wake; its AutoSync
        // period starts again after this Correct.
        serviceAutoSyncLeft_ = 0;
        if (!scanActive_.load()) operation_.start(OperationKind::Correct);
        return;
    }
    // The window's AutoTimer runs whichever of its events is due.
    view_.machineResumed();
}

void Engine::clockSetElsewhere(int64_t units) {
    // "+3600.2 s": signed, to a tenth of a second, whatever the locale.
    const int64_t tenths = (units < 0 ? units - 500'000 : units + 500'000) / 1'000'000;
    const uint64_t magnitude = tenths < 0 ? 0 - static_cast<uint64_t>(tenths) : static_cast<uint64_t>(tenths);
    const std::string amount =
        std::string(units < 0 ? "-" : "+") + std::to_string(magnitude / 10) + "." + std::to_string(magnitude % 10) + " s";
    logLine(kClockSetElsewhere + amount, LogLevel::Warning);
    HistoryEntry entry;
    entry.when = platform::getSystemTimeAsFileTime();
    entry.action = kClockSetElsewhereAction;
    entry.changeSeconds = static_cast<double>(units) / static_cast<double>(platform::kFileTimeUnitsPerSecond);
    entry.outcome = kClockSetElsewhereOutcome;
    // Kept in the History, but not a result: the metrics' tries and
    // failures do not count it.
    appendHistory(entry);
    {
        // The clock is no longer the one last checked: served as
        // unsynchronised until the next good Check or Correct.
        std::lock_guard lock(standingMutex_);
        standing_.lastSync = 0;
        standing_.steppedElsewhere = true;
    }
    if (!config_.serviceMode) view_.clockSetElsewhere();
}

void Engine::supervise() {
    if (config_.serviceMode) serviceStartSteps();
    // A run that corrects the clock by itself takes up the rate it learned
    // before at once.
    rate_.start(settings.autoSyncEnabled.load());
    do {
        pass();
        uint32_t wait = refreshPeriod();
        const uint64_t due = operation_.msUntilDue();
        if (operation_.running() && due < wait) wait = static_cast<uint32_t>(due);
        wakeEvent_.wait(wait);
        wakeEvent_.reset();
    } while (!closeRequested_.load());
    rate_.stop();
    if (config_.serviceMode) logLine(slot(kSlotServiceStopped));  // whatever the log settings say
    view_.supervisorEnded();
    ended_.store(true);
}

}  // namespace tavrel
