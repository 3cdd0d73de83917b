// The sync operation: one Check or Correct, driven a step a pass by the
// supervisor. It starts queries one after another, shows their progress in
// the status line, falls back to the other protocol or the next server
// after a failure, may average several servers' replies, and on success hands the reply
// to the clock correction. It lives on the supervisor thread: only that
// thread calls it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/clock_correction.h"
#include "engine/engine_view.h"
#include "engine/time_query.h"
#include "platform/time.h"
#include "protocol/server_replies.h"
#include "storage/settings.h"

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
    // The protocol Auto uses next, Sntp or Time; every operation begins
    // with SNTP.
    Protocol& autoProtocolChoice;
    // The clock was just set or checked against a good source: what the
    // own servers may say of it from now on (the fields of the last
    // correction or check; the system's are not filled in).
    std::function<void(const ClockStanding& sync)> clockSynchronised;
    // An accepted reply was used (`correction` is what was done with it);
    // `correct`: by a Correct, not a Check.
    std::function<void(const QueryResult& reply, bool sntp, const Correction& correction, bool correct)>
        clockMeasured;
    // Whether the clock counts as synchronised now, as the own servers
    // would say; unset: it does.
    std::function<bool()> clockKnownGood;
};

// The middle of the offsets of several replies: the median, or for an
// even count the mean of the two middle ones, so one liar among three or
// four servers cannot move it (0 for none).
int64_t middleOffset(std::vector<int64_t> offsets);

// One reply's offset (100 ns) and how far it may be off either way: an
// honest server's true offset lies within [offset - halfWidth, offset +
// halfWidth].
struct OffsetInterval {
    int64_t offset = 0;
    int64_t halfWidth = 0;
};

// The replies that agree: the largest set of intervals with a point in
// common (Marzullo's intersection; intervals that only touch agree). When
// it holds more than half of them (`majority`), `offset` is the middle of
// the set's offsets (middleOffset). Between equally large sets the one
// lowest on the line is taken.
struct Agreement {
    std::vector<size_t> members;  // indices of the agreeing intervals, ascending
    bool majority = false;
    int64_t offset = 0;
};
Agreement agreeingReplies(const std::vector<OffsetInterval>& intervals);

// The paced walk: after a round of the list with no accepted reply the
// walk waits before the next, 30 s after the first round and twice as long
// after each further one, up to 15 minutes.
inline constexpr uint64_t kFirstRoundPauseMs = 30'000;
inline constexpr uint64_t kLongestRoundPauseMs = 15 * 60'000;
// What TIME's whole seconds add to the error of a clock set by them.
inline constexpr uint32_t kTimeProtocolErrorMs = 1000;
// An average asks up to five servers, one reply each, so that two liars
// among five are outvoted; one server alone is asked four times.
inline constexpr size_t kAverageSamples = 5;
inline constexpr size_t kLoneServerSamples = 4;
// The status and log text when no more than half the replies agree.
inline constexpr char kServersDisagree[] = "Servers disagree; no majority, clock not corrected";
inline constexpr int64_t kSecondUnits = 10'000'000;
// A server that sent a RATE kiss is left alone this long.
inline constexpr uint64_t kRateKissPauseMs = 15 * 60'000;

class SyncOperation {
public:
    explicit SyncOperation(OperationHost host) : host_(std::move(host)) {}
    ~SyncOperation();

    bool running() const { return state_ != State::Idle; }
    // No server answered in the last round: the walk waits for its next.
    bool waitingForRound() const { return state_ == State::Waiting; }
    OperationKind kind() const { return kind_; }
    // Begins an operation; nothing while one runs.
    // automatic: asked by the AutoTimer (the history tells them apart).
    void start(OperationKind kind, bool automatic = false);
    // The Abort command: ends the running query and the operation at once.
    void abort();
    // The session is ending: no further query starts; a running one may
    // still finish.
    void stopQueries();
    // The operation work of one supervisor pass.
    void pass();
    // Releases the queries given up earlier whose threads have ended.
    void releaseEndedQueries();
    // The machine woke or its network came back: a walk that waits for its
    // next round begins it at once, its pause back at the first round's.
    void retryNow();
    // Milliseconds until the operation has something to do by itself (a
    // query times out, the next round is due); UINT64_MAX when nothing is
    // due but what a query reports.
    uint64_t msUntilDue() const;

private:
    enum class State { Idle, Running, Waiting, Stopping };
    // The last progress text shown for the running query.
    enum class Shown { None, Initialising, CreatingSocket, LookingFor, WaitingFor, Converting };
    // One accepted reply kept for the average.
    struct Sample {
        int64_t offsetUnits = 0;
        QueryResult reply;
        bool sntp = false;
        std::string server;  // as the walk names it
    };
    // A server that sent a Kiss-o'-Death: its code and the tick count until
    // which it is not asked (UINT64_MAX: not again in this run).
    struct Kiss {
        std::string code;
        uint64_t until = 0;
    };

    void showStatus(const std::string& text);
    // A row of the clock's history for the finished query (none: no answer).
    void recordHistory(const QueryResult* reply, const char* outcome, std::optional<int64_t> change = {},
                       const std::string* server = nullptr) const;
    void startQuery();
    void retireQuery();
    bool showProgress();
    void failureStep();
    void timeOutStep();
    // Moves on after a query: under Auto to TIME on the same server after
    // an SNTP failure where TIME may help, else to the next server of the
    // round (or the round's end).
    void nextServer(bool timeMayHelp);
    // Moves the selection to the next listed server that may be asked;
    // false when the round has come back to where it began.
    bool moveToNextServer();
    // Asks the next listed server that may be asked, or ends the round (or,
    // when the list is gone, the operation).
    void askNextListedServer();
    void beginRound();
    void endOfRound();
    void waitPass();
    bool kissed(const std::string& server) const;
    void collectAverageSample();
    // The walk kept to nts:// entries and none of them answered.
    void noAuthenticatedAnswer();
    // No more than half the replies gathered agree: nothing is corrected.
    void noMajority();
    void successStep(const QueryResult& reply, bool sntp);
    void noteSynchronised(CorrectionMode mode, const Correction& correction, const QueryResult& reply, bool sntp);
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
    bool queryNts_ = false;  // the query asks an nts:// entry
    bool forceTimeProtocol_ = false;
    bool certificateNoted_ = false;  // the log has this operation's certificate line
    std::string serverName_;
    std::string queryAddress_;  // the address the last query asked
    // The walk's round: the selection it began at, whether it has wrapped
    // past the end of the list, its number (1 the first) and the servers
    // it has come to.
    int32_t roundStart_ = 0;
    bool wrapped_ = false;
    bool listGone_ = false;
    uint32_t round_ = 1;
    uint32_t roundServers_ = 0;
    // The round asks only nts:// entries (authenticated servers only).
    bool ntsOnly_ = false;
    uint64_t nextRoundTick_ = 0;   // while Waiting: when the next round begins
    uint64_t roundPauseMs_ = kFirstRoundPauseMs;
    std::string waitText_;
    // While Waiting: no route leads to the last server asked (looked at
    // once a second, at the tick count routeLookTick_).
    bool noRoute_ = false;
    uint64_t routeLookTick_ = 0;
    DateRangeWidening widened_;
    std::map<std::string, Kiss> kisses_;  // kept from one operation to the next
    // The replies kept for the average (one per server).
    std::vector<Sample> samples_;
};

}  // namespace tavrel
