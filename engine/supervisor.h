// The engine: the supervisor thread and everything it owns. In passes the
// supervisor advances the running operation by one step or refreshes the
// idle display (in the service: counts the AutoSync period down), advances
// the server clock, then waits until it is woken or its period runs out.
// Other threads never touch the operation: they leave requests, which the
// next pass carries out.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "engine/clock_rate.h"
#include "engine/countdown.h"
#include "engine/engine_view.h"
#include "engine/operation.h"
#include "protocol/server_replies.h"
#include "platform/system_events.h"
#include "platform/thread.h"

namespace tavrel {

inline constexpr uint32_t kRefreshShownMs = 500;
inline constexpr uint32_t kRefreshHiddenMs = 30000;
inline constexpr uint32_t kRefreshOperationMs = 100;

struct EngineConfig {
    bool serviceMode = false;
    // Entry n (1-based) of the server list; false when there is none.
    std::function<bool(int n, std::string& name)> pickServer;
    // The list is unusable: operations on it ask Manual A instead.
    std::function<bool()> serverListEmpty;
};

class Engine final : public AutoTimerTarget {
public:
    Engine(EngineView& view, EngineConfig config);
    // Ends the supervisor (when it runs) and waits for it.
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Starts the supervisor thread (once).
    void start();
    // Waits for the supervisor to end.
    void join();
    // The supervisor has left its loop (any thread).
    bool ended() const { return ended_.load(); }

    // Requests, from any thread; each wakes the supervisor, whose next pass
    // carries them out in the order they came.
    // A Check or Correct; false (and nothing happens) while one runs or is
    // about to start.
    bool requestOperation(OperationKind kind, bool automatic = false);
    void requestAbort();
    // The session ends: no new query starts.
    void requestSessionEnd();
    // Ends the loop at the end of the current pass; does not wake it.
    void requestClose() { closeRequested_.store(true); }
    void wake() { wakeEvent_.set(); }
    // A time server's line for the status line: shown, and held for 40
    // passes, as soon as no operation runs.
    void showServerStatus(std::string text);

    // An operation runs or is about to start (any thread).
    bool busy() const;
    // The running operation found no server in its last round and waits
    // for the next (any thread).
    bool waitingForRound() const { return waitingForRound_.load(); }
    // The window's state, written by the window thread only.
    void setWindowState(WindowState state);
    WindowState windowState() const { return windowState_.load(); }
    // Set by the server scan while it measures (it runs its own queries);
    // operations wait meanwhile.
    void setScanActive(bool active) { scanActive_.store(active); }
    bool scanActive() const { return scanActive_.load(); }
    // The next automatic event, published by the AutoTimer.
    void setCountdown(Countdown countdown) override;
    bool operationOrScanRunning() const override { return busy() || scanActive(); }
    bool requestAutoOperation(bool sync) override {
        return requestOperation(sync ? OperationKind::Correct : OperationKind::Check, true);
    }

    // The last good correction or check of the clock, for the time servers
    // (any thread).
    ClockStanding clockStanding() const;
    // The clock counts as synchronised now by the rule the own servers
    // answer by (the standing above and what the system says of it).
    bool clockKnownGood() const;
    // The learned clock rate's uncertainty (ppm), none while no rate is
    // learned (any thread).
    std::optional<double> uncertaintyPpm() const { return rate_.uncertaintyPpm(); }

    // Tests that drive the passes themselves: one pass on the calling
    // thread (never while the supervisor thread runs).
    void runPass() { pass(); }
    // How long the wait after a pass may last.
    uint32_t refreshPeriod() const;
    platform::ManualResetEvent& wakeEvent() { return wakeEvent_; }

private:
    struct Request {
        enum class Kind { Start, Abort, SessionEnd } kind = Kind::Start;
        OperationKind operation = OperationKind::Check;
        bool automatic = false;  // asked by the AutoTimer
    };

    // Whether an operation will run once the waiting requests are carried
    // out; under requestMutex_.
    bool busyAfterRequests() const;
    void supervise();
    void pass();
    // Carries out the waiting requests; true when one aborted an operation.
    bool takeRequests();
    void idleDisplay();
    // The local clock during an operation.
    void operationClockPass();
    void serverClockPass();
    void serviceStartSteps();
    void serviceAutoSyncPass();
    // What the machine did since the last pass (woke, found a network,
    // had its clock set by another program), carried out.
    void systemEventsPass();
    void machineResumed();
    void clockSetElsewhere(int64_t units);

    EngineView& view_;
    const EngineConfig config_;
    platform::ManualResetEvent wakeEvent_;

    // Requests and published values, under requestMutex_.
    mutable std::mutex requestMutex_;
    std::deque<Request> requests_;
    std::optional<std::string> serverStatus_;
    Countdown countdown_;

    std::atomic<bool> closeRequested_{false};  // written by the window thread or the service
    std::atomic<bool> operationRunning_{false};  // written by the supervisor
    std::atomic<bool> waitingForRound_{false};   // written by the supervisor
    std::atomic<bool> ended_{false};             // written by the supervisor
    std::atomic<WindowState> windowState_;       // written by the window thread
    std::atomic<bool> scanActive_{false};        // written by the server scan

    // The supervisor's own state: touched by its thread only.
    uint32_t statusHold_ = 0;
    int32_t countdownTick_ = 0;
    bool countdownShowsSeconds_ = false;
    WindowState drawnState_ = WindowState::Shown;
    platform::SystemTime operationClockDrawn_{};
    ServerClock serverClock_;
    Protocol autoProtocolChoice_ = Protocol::Sntp;
    uint64_t serviceAutoSyncLeft_ = 0;
    uint64_t serviceAutoSyncTick_ = 0;
    ClockRate rate_;
    SyncOperation operation_;

    // The machine's events while the supervisor runs; they wake it.
    std::unique_ptr<platform::SystemEventWatch> systemEvents_;

    mutable std::mutex standingMutex_;
    ClockStanding standing_;  // written by the supervisor through the operation

    std::thread thread_;
};

}  // namespace tavrel
