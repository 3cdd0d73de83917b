// The sync operation: one Check or Correct, driven a step a pass by the
// supervisor. It starts queries one after another, shows their progress in
// the status line, falls back to the other protocol or the next server
// after a failure, may average four replies, and on success hands the reply
// to the clock correction. It lives on the supervisor thread: only that
// thread calls it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/clock_correction.h"
#include "engine/engine_view.h"
#include "engine/time_query.h"
#include "platform/time.h"

namespace tavrel {

enum class OperationKind { Check, Correct };

// The server's clock as the window shows it: a local time, advanced with the
// tick count while it runs.
struct ServerClock {
    bool running = false;
    platform::FileTime value = 0;
    uint32_t tick = 0;
};

// Passes the last status text stays before the idle display replaces it.
inline constexpr uint32_t kHoldAfterSuccess = 40;
inline constexpr uint32_t kHoldAfterAbort = 20;

// What an operation needs of the engine that runs it.
struct OperationHost {
    EngineView& view;
    bool serviceMode;
    // Entry n (1-based) of the server list; false when there is none.
    std::function<bool(int n, std::string& name)> pickServer;
    // The list is unusable: operations on it ask Manual A instead.
    std::function<bool()> serverListEmpty;
    // Wakes the supervisor (called from query threads).
    std::function<void()> wake;
    uint32_t& statusHold;
    ServerClock& serverClock;
    // The protocol Auto uses next: 1 SNTP, 0 TIME; kept from one operation
    // to the next.
    int32_t& autoProtocolChoice;
};

class SyncOperation {
public:
    explicit SyncOperation(OperationHost host) : host_(std::move(host)) {}
    ~SyncOperation();

    bool running() const { return state_ != State::Idle; }
    OperationKind kind() const { return kind_; }
    // Begins an operation; nothing while one runs.
    // automatic: asked by the AutoTimer (the history tells them apart).
    void start(OperationKind kind, bool automatic = false);
    // A row of the clock's history for the finished query (none: no answer).
    void recordHistory(const QueryResult* reply, const char* outcome) const;
    // The Abort command: ends the running query and the operation at once.
    void abort();
    // The session is ending: no further query starts; a running one may
    // still finish.
    void stopQueries();
    // The operation work of one supervisor pass.
    void pass();
    // Releases the queries given up earlier whose threads have ended.
    void releaseEndedQueries();
    // Milliseconds until the running query times out (0 when none runs).
    uint64_t msUntilTimeout() const;

private:
    enum class State { Idle, Running, Stopping };
    // The last progress text shown for the running query.
    enum class Shown { None, Initialising, CreatingSocket, LookingFor, WaitingFor, Converting };

    void showStatus(const std::string& text);
    void startQuery();
    void retireQuery();
    bool showProgress();
    void failureStep();
    void timeOutStep();
    void nextServer();
    bool collectAverageSample();
    void successStep();
    void finish();

    OperationHost host_;
    State state_ = State::Idle;
    OperationKind kind_ = OperationKind::Check;
    bool automatic_ = false;
    std::unique_ptr<TimeQuery> query_;
    // Queries given up (aborted or timed out) whose threads have not yet
    // ended; released once they have, never waited for.
    std::vector<std::unique_ptr<TimeQuery>> retired_;
    Shown shown_ = Shown::None;
    uint64_t deadline_ = 0;  // tick count at which the running query times out
    bool timedOut_ = false;
    bool querySntp_ = false;  // the running query asks by SNTP
    bool forceTimeProtocol_ = false;
    std::string serverName_;
    // The running average: replies folded in, their sum in wire seconds
    // (each term divided by 4), the tick of the previous sample.
    uint32_t averageCount_ = 0;
    uint32_t averageSum_ = 0;
    uint32_t averageLastTick_ = 0;
};

}  // namespace tavrel
