#include "engine/operation.h"

#include "protocol/time_protocol.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>

#include "engine/authenticated_only.h"
#include "engine/clock_privilege.h"
#include "engine/countdown.h"
#include "nts/nts_server_entry.h"
#include "platform/process.h"
#include "platform/system_events.h"
#include "storage/history.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/string_slots.h"
#include "storage/strings.h"

namespace tavrel {
namespace {

constexpr uint64_t kSecondMs = 1000;
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

// The walk's own texts, with the countdown's units.
constexpr char kNoServerAnswered[] = "No server answered; next try in ";
constexpr char kNoAuthenticatedServerAnswered[] = "No authenticated server answered; next try in ";
constexpr char kNoResponseFromAny[] = "No response from any of the ";
constexpr char kServersRound[] = " servers, round ";
constexpr char kNextTryIn[] = "; next try in ";
constexpr char kRefused[] = " (refused: ";
// While no route leads to the server, in place of the countdown.
constexpr char kNoNetwork[] = "No network; waiting for one";
constexpr uint64_t kRouteLookMs = 1000;
// While the clock helper's prompt is up.
constexpr char kAskingForTheRight[] = "Asking for the right to set the clock...";

bool logErrorsAllowed() { return settings.logErrors.load() && !settings.logDisabled.load(); }

// The walk keeps to one server: a manual address, or the default server only.
bool singleServer() { return settings.serverSource.load() != ServerSource::List || settings.defaultServerOnly.load(); }

// The sync time-out in ms.
uint64_t syncTimeoutMs() {
    return static_cast<uint64_t>(std::chrono::milliseconds(settings.syncTimeout.load()).count());
}

// "30 Scs", "2 Mns", "14 Mns 59 Scs": whole seconds, rounded up so that a
// wait never reads 0 before it is over.
std::string waitText(uint64_t ms) {
    const uint64_t roundedUp = (ms + kSecondMs - 1) / kSecondMs * kSecondMs;
    return formatDuration(static_cast<int64_t>(roundedUp)).text;
}

double seconds(int64_t units) {
    return static_cast<double>(units) / static_cast<double>(platform::kFileTimeUnitsPerSecond);
}

// What reading this computer's clock and a round trip counted in whole
// milliseconds may add to a reply's bounds.
constexpr int64_t kReplyToleranceUnits = 10'000;  // 1 ms

// A 16.16 figure in seconds as 100-ns units.
int64_t units16(uint32_t value) {
    return static_cast<int64_t>((uint64_t{value} * platform::kFileTimeUnitsPerSecond) >> 16);
}

// How far an accepted reply's offset may be off: half its round trip and
// the server's own distance from its reference (half its root delay and
// its root dispersion); TIME's whole second instead of the latter.
int64_t halfWidthOf(const QueryResult& reply, bool sntp) {
    const int64_t halfRoundTrip = static_cast<int64_t>(reply.responseMs) * static_cast<int64_t>(platform::kFileTimeUnitsPerMs) / 2;
    const int64_t source = sntp ? units16(reply.rootDelay) / 2 + units16(reply.rootDispersion) : kSecondUnits;
    return halfRoundTrip + source + kReplyToleranceUnits;
}

// The start of the next UTC day after `utc`, when a leap second announced
// today has been made.
platform::FileTime endOfUtcDay(platform::FileTime utc) {
    constexpr platform::FileTime kDay = 86'400 * platform::kFileTimeUnitsPerSecond;
    return (utc / kDay + 1) * kDay;
}

}  // namespace

int64_t middleOffset(std::vector<int64_t> offsets) {
    if (offsets.empty()) return 0;
    std::sort(offsets.begin(), offsets.end());
    const size_t n = offsets.size();
    if (n % 2 == 1) return offsets[n / 2];
    const int64_t a = offsets[n / 2 - 1];
    const int64_t b = offsets[n / 2];
    // Half of each: no overflow for any pair.
    return a / 2 + b / 2 + (a % 2 + b % 2) / 2;
}

Agreement agreeingReplies(const std::vector<OffsetInterval>& intervals) {
    Agreement agreement;
    if (intervals.empty()) return agreement;
    // Marzullo's sweep: every interval's low end opens it, its high end
    // closes it; at a tie the opening comes first, so touching intervals
    // count as overlapping. The point where most are open is in all of the
    // largest agreeing set.
    struct Edge {
        int64_t at;
        int step;  // +1 opens, -1 closes
    };
    std::vector<Edge> edges;
    auto saturated = [](int64_t a, int64_t b) {
        int64_t out = 0;
        return __builtin_add_overflow(a, b, &out) ? (b < 0 ? INT64_MIN : INT64_MAX) : out;
    };
    for (const OffsetInterval& i : intervals) {
        const int64_t half = std::max<int64_t>(i.halfWidth, 0);
        edges.push_back(Edge{saturated(i.offset, -half), +1});
        edges.push_back(Edge{saturated(i.offset, half), -1});
    }
    std::sort(edges.begin(), edges.end(),
              [](const Edge& a, const Edge& b) { return a.at != b.at ? a.at < b.at : a.step > b.step; });
    int open = 0;
    int most = 0;
    int64_t point = 0;
    for (const Edge& e : edges) {
        open += e.step;
        if (open > most) {
            most = open;
            point = e.at;
        }
    }
    std::vector<int64_t> offsets;
    for (size_t n = 0; n < intervals.size(); ++n) {
        const int64_t half = std::max<int64_t>(intervals[n].halfWidth, 0);
        if (saturated(intervals[n].offset, -half) <= point && point <= saturated(intervals[n].offset, half)) {
            agreement.members.push_back(n);
            offsets.push_back(intervals[n].offset);
        }
    }
    agreement.majority = agreement.members.size() * 2 > intervals.size();
    if (agreement.majority) agreement.offset = middleOffset(std::move(offsets));
    return agreement;
}

SyncOperation::~SyncOperation() {
    // Waits for the query threads; only tests destroy an engine while a
    // query may still be blocked, and theirs end at once when aborted.
    if (query_) query_->abort();
    for (auto& retired : retired_) retired->abort();
}

void SyncOperation::showStatus(const std::string& text) {
    if (!host_.serviceMode) host_.view.showStatus(text);
}

void SyncOperation::start(OperationKind kind, bool automatic) {
    if (state_ != State::Idle) return;
    automatic_ = automatic;
    host_.view.operationStarting();
    state_ = State::Running;
    kind_ = kind;
    // The operation's own texts replace whatever the line held; a hold left
    // by an earlier Abort must not bring "Ready" over its failure text.
    host_.statusHold = 0;
    forceTimeProtocol_ = false;
    certificateNoted_ = false;
    widened_ = DateRangeWidening{};
    samples_.clear();
    round_ = 1;
    roundPauseMs_ = kFirstRoundPauseMs;
    if (host_.serverListEmpty && host_.serverListEmpty() && settings.serverSource.load() == ServerSource::List) {
        settings.serverSource.store(ServerSource::ManualA);
    }
    // A running time server keeps the idle look: Check then aborts.
    if (!host_.serviceMode && !settings.timeServerEnabled.load()) host_.view.showBusy(true);
    beginRound();
}

void SyncOperation::beginRound() {
    // Every round begins with SNTP, the better protocol; TIME only where
    // SNTP fails.
    host_.autoProtocolChoice = Protocol::Sntp;
    wrapped_ = false;
    listGone_ = false;
    roundServers_ = 1;
    ntsOnly_ = authenticatedOnlyWalk(host_.pickServer);
    int32_t selected = settings.selectedServer.load();
    if (!host_.pickServer(selected + 1, serverName_)) {
        selected = 0;
        if (!host_.pickServer(1, serverName_) && settings.serverSource.load() == ServerSource::List) {
            finish();
            return;
        }
        settings.selectedServer.store(0);
    }
    roundStart_ = selected;
    if (settings.serverSource.load() != ServerSource::List) {
        // The manual sources are addresses; every later text names them.
        serverName_ = settings.serverSource.load() == ServerSource::ManualA ? manualAddressA() : manualAddressB();
    }
    if (ntsOnly_ && !isNtsEntry(serverName_)) {
        // A plain entry is passed over, never asked.
        if (singleServer()) {
            noAuthenticatedAnswer();
            finish();
            return;
        }
        roundServers_ = 0;
        askNextListedServer();
        return;
    }
    if (kissed(serverName_)) {
        if (singleServer()) {
            // Its one server asked us to keep away: the operation fails at once.
            failureStep();
            return;
        }
        askNextListedServer();
        return;
    }
    startQuery();
}

void SyncOperation::recordHistory(const QueryResult* reply, const char* outcome, std::optional<int64_t> change,
                                  const std::string* server) const {
    HistoryEntry entry;
    // An answer's row carries the server's time at the reply, a failed
    // try's this computer's clock. A Check's row stamped by a clock 10 s
    // fast would otherwise lie 10 s after the rows written once a Correct
    // has put the clock right.
    entry.when = reply != nullptr ? serverTimeAtReply(*reply) : platform::getSystemTimeAsFileTime();
    const bool correct = kind_ == OperationKind::Correct;
    entry.action = automatic_ ? (correct ? "AutoSync" : "AutoCheck") : (correct ? "Correct" : "Check");
    entry.server = server != nullptr ? *server : serverName_;
    if (server == nullptr) entry.address = queryAddress_;
    entry.protocol = queryNts_ ? "NTS" : querySntp_ ? "SNTP" : "TIME";
    if (reply != nullptr) {
        entry.offsetSeconds = seconds(reply->offsetUnits);
        entry.roundTripMs = reply->responseMs;
    }
    if (change) entry.changeSeconds = seconds(*change);
    entry.outcome = outcome;
    appendHistory(entry);
    host_.view.resultRecorded(entry);
}

void SyncOperation::startQuery() {
    const Protocol protocol = effectiveProtocol(host_.autoProtocolChoice);
    QueryTarget target;
    target.manual = settings.serverSource.load() != ServerSource::List;
    target.server = serverName_;
    // An nts:// entry is asked by NTS whatever the protocol setting.
    queryNts_ = isNtsEntry(serverName_);
    target.useTime = !queryNts_ && (protocol == Protocol::Time || forceTimeProtocol_);
    target.dateRangeEnabled = settings.dateRangeEnabled.load();
    target.dateRangeLow = settings.dateRangeLow.load();
    target.dateRangeHigh = settings.dateRangeHigh.load();
    target.timeoutMs = static_cast<uint32_t>(syncTimeoutMs());
    target.clockKnownGood = !host_.clockKnownGood || host_.clockKnownGood();
    // An average over one server asks it four times, one request each: a
    // server is never sent more than four requests in an operation's round.
    if (settings.averageEnabled.load() && singleServer()) target.sntpSamples = 1;
    querySntp_ = !target.useTime;
    queryAddress_.clear();
    // The server's clock stops while an SNTP exchange measures the offset.
    if (querySntp_) host_.serverClock.running = false;
    shown_ = Shown::None;
    timedOut_ = false;
    deadline_ = platform::getTickCount64() + syncTimeoutMs();
    query_ = std::make_unique<TimeQuery>(std::move(target), host_.wake);
}

void SyncOperation::retireQuery() {
    if (!query_) return;
    queryAddress_ = query_->addressText();
    if (!query_->finished()) {
        query_->abort();
        retired_.push_back(std::move(query_));
    }
    query_.reset();
}

bool SyncOperation::showProgress() {
    if (!query_ || shown_ == Shown::Converting) return false;
    const auto step = static_cast<uint32_t>(query_->step());
    if (step <= static_cast<uint32_t>(shown_)) return false;
    switch (shown_) {
        case Shown::None: showStatus(slot(kSlotInitialising)); break;
        case Shown::Initialising: showStatus(slot(kSlotCreatingSocket)); break;
        case Shown::CreatingSocket: showStatus(slot(kSlotLookingFor) + query_->addressText()); break;
        case Shown::LookingFor: showStatus(slot(kSlotWaitingFor) + serverName_); break;
        case Shown::WaitingFor: showStatus(slot(kSlotConverting)); break;
        case Shown::Converting: break;
    }
    shown_ = static_cast<Shown>(static_cast<int>(shown_) + 1);
    return true;
}

void SyncOperation::timeOutStep() {
    showStatus(slot(kSlotTimeOutOn) + serverName_);
    retireQuery();
    timedOut_ = true;
    shown_ = Shown::None;
    // A manual or default-only server is not walked on from.
    if (singleServer()) state_ = State::Stopping;
}

bool SyncOperation::kissed(const std::string& server) const {
    const auto found = kisses_.find(server);
    return found != kisses_.end() && platform::getTickCount64() < found->second.until;
}

void SyncOperation::failureStep() {
    showStatus(slot(kSlotUnableToSync) + serverName_);
    std::string kiss;
    std::string failure;
    if (query_) {
        queryAddress_ = query_->addressText();
        const QueryResult& result = query_->result();
        widenDateRange(result, widened_);
        kiss = result.kiss;
        failure = result.failure;
        const uint64_t now = platform::getTickCount64();
        if (kiss == "RATE") kisses_[serverName_] = Kiss{kiss, now + kRateKissPauseMs};
        if (kiss == "DENY" || kiss == "RSTR") kisses_[serverName_] = Kiss{kiss, kNever};
    } else if (const auto found = kisses_.find(serverName_); found != kisses_.end() && kissed(serverName_)) {
        kiss = found->second.code;  // not asked: still within its kiss
    }
    query_.reset();
    timedOut_ = false;
    shown_ = Shown::None;
    // Every failure of the first round is logged and kept in the history;
    // later rounds say once per round what happened.
    const std::string reason = !kiss.empty() ? kRefused + kiss + ")" : !failure.empty() ? " (" + failure + ")" : "";
    if (round_ == 1) {
        if (logErrorsAllowed()) logNamedLine(slot(kSlotNoResponse), serverName_ + reason, LogLevel::Warning);
        recordHistory(nullptr, "No response");
    }
    host_.view.showOutcome(slot(kSlotNoResponse) + serverName_ + reason);
    if (state_ == State::Stopping || singleServer()) {
        // Replies gathered for the average before the failure still count.
        if (!samples_.empty() && state_ != State::Stopping) {
            collectAverageSample();
            return;
        }
        finish();
        return;
    }
    // TIME is worth asking only where SNTP found an address for the server
    // and was not told to keep away.
    // An nts:// entry never falls back.
    nextServer(!queryAddress_.empty() && kiss.empty() && !queryNts_);
}

void SyncOperation::nextServer(bool timeMayHelp) {
    if (state_ == State::Stopping) {
        finish();
        return;
    }
    if (timeMayHelp && settings.protocol.load() == Protocol::Auto && host_.autoProtocolChoice == Protocol::Sntp) {
        host_.autoProtocolChoice = Protocol::Time;  // the same server again, by TIME
        startQuery();
        return;
    }
    host_.autoProtocolChoice = Protocol::Sntp;
    if (settings.serverSource.load() != ServerSource::List) {
        // A manual address is asked again (for the average); the selection
        // still moves on.
        settings.selectedServer.store(settings.selectedServer.load() + 1);
        startQuery();
        return;
    }
    askNextListedServer();
}

void SyncOperation::askNextListedServer() {
    if (!moveToNextServer()) {
        if (listGone_) {
            finish();
        } else {
            endOfRound();
        }
        return;
    }
    startQuery();
}

bool SyncOperation::moveToNextServer() {
    for (;;) {
        int32_t next = settings.selectedServer.load() + 1;
        if (!host_.pickServer(next + 1, serverName_)) {
            // Past the end: on from the first entry. A second wrap means the
            // round's first server has left the list: the round is over.
            if (wrapped_) return false;
            wrapped_ = true;
            next = 0;
            if (!host_.pickServer(1, serverName_)) {
                settings.selectedServer.store(0);
                listGone_ = true;
                return false;
            }
        }
        settings.selectedServer.store(next);
        if (wrapped_ && next >= roundStart_) return false;
        if (ntsOnly_ && !isNtsEntry(serverName_)) continue;
        ++roundServers_;
        if (!kissed(serverName_)) return true;
    }
}

void SyncOperation::endOfRound() {
    if (!samples_.empty()) {
        // Every server has been asked once: the replies gathered make the average.
        collectAverageSample();
        return;
    }
    const std::string wait = waitText(roundPauseMs_);
    if (ntsOnly_ && round_ == 1) noAuthenticatedAnswer();
    if (round_ > 1) {
        const std::string servers = std::to_string(roundServers_);
        const std::string line = kNoResponseFromAny + servers + kServersRound + std::to_string(round_) + kNextTryIn + wait;
        if (logErrorsAllowed()) logLine(line, LogLevel::Warning);
        const std::string all = "any of the " + servers + " servers";
        recordHistory(nullptr, "No response", {}, &all);
        host_.view.showOutcome(line);
    }
    state_ = State::Waiting;
    nextRoundTick_ = platform::getTickCount64() + roundPauseMs_;
    roundPauseMs_ = std::min(roundPauseMs_ * 2, kLongestRoundPauseMs);
    waitText_.clear();
    noRoute_ = false;
    routeLookTick_ = 0;
    waitPass();
}

void SyncOperation::retryNow() {
    if (state_ != State::Waiting) return;
    roundPauseMs_ = kFirstRoundPauseMs;
    nextRoundTick_ = platform::getTickCount64();
    routeLookTick_ = 0;  // the route is looked at afresh
}

void SyncOperation::waitPass() {
    const uint64_t now = platform::getTickCount64();
    // Nothing is tried while no route leads to the server (the system
    // would refuse to send): the wait lasts until one does, which a new
    // address or route usually announces at once.
    if (routeLookTick_ == 0 || now - routeLookTick_ >= kRouteLookMs) {
        routeLookTick_ = now;
        noRoute_ = !queryAddress_.empty() && !platform::routeExists(queryAddress_.c_str());
    }
    if (noRoute_) {
        if (waitText_ != kNoNetwork) {
            waitText_ = kNoNetwork;
            showStatus(kNoNetwork);
        }
        return;
    }
    if (now >= nextRoundTick_) {
        state_ = State::Running;
        ++round_;
        beginRound();
        return;
    }
    const std::string text =
        (ntsOnly_ ? kNoAuthenticatedServerAnswered : kNoServerAnswered) + waitText(nextRoundTick_ - now);
    if (text != waitText_) {
        waitText_ = text;
        showStatus(text);
    }
}

void SyncOperation::collectAverageSample() {
    // Called with a reply just accepted (query_ set), or with none when the
    // walk can go no further: the replies gathered so far decide.
    if (query_) {
        queryAddress_ = query_->addressText();
        const QueryResult& reply = query_->result();
        samples_.push_back(Sample{reply.offsetUnits, reply, querySntp_, serverName_});
        query_.reset();
        shown_ = Shown::None;
        if (samples_.size() < (singleServer() ? kLoneServerSamples : kAverageSamples)) {
            // Only a sample: the next server (or manual address) is asked.
            nextServer(false);
            if (state_ != State::Idle || samples_.empty()) return;
        }
    }
    if (samples_.empty()) {
        finish();
        return;
    }
    std::vector<OffsetInterval> intervals;
    for (const Sample& s : samples_) intervals.push_back(OffsetInterval{s.offsetUnits, halfWidthOf(s.reply, s.sntp)});
    const Agreement agreement = agreeingReplies(intervals);
    if (!agreement.majority) {
        noMajority();
        return;
    }
    const std::string others = std::to_string(agreement.members.size());
    for (size_t n = 0; n < samples_.size(); ++n) {
        if (std::binary_search(agreement.members.begin(), agreement.members.end(), n)) continue;
        if (!logErrorsAllowed()) break;
        char figure[48];
        std::snprintf(figure, sizeof figure, "%+.1f s", seconds(samples_[n].offsetUnits - agreement.offset));
        logLine(samples_[n].server + " disagrees with the other " + others + " by " + figure + "; not used",
                LogLevel::Warning);
    }
    // The agreeing reply nearest the middle stands for the rest (an SNTP
    // one before TIME's whole seconds): its round trip, its server and
    // what it said of itself go with the middle offset.
    const Sample* base = nullptr;
    auto distance = [&agreement](const Sample& s) {
        return s.offsetUnits > agreement.offset ? s.offsetUnits - agreement.offset : agreement.offset - s.offsetUnits;
    };
    size_t inserting = 0;
    size_t deleting = 0;
    for (const size_t n : agreement.members) {
        const Sample& s = samples_[n];
        if (s.reply.leap == static_cast<uint8_t>(platform::LeapState::Insert)) ++inserting;
        if (s.reply.leap == static_cast<uint8_t>(platform::LeapState::Delete)) ++deleting;
        if (base == nullptr || (s.sntp && !base->sntp) || (s.sntp == base->sntp && distance(s) < distance(*base))) {
            base = &s;
        }
    }
    QueryResult combined = base->reply;
    combined.offsetUnits = agreement.offset;
    // A leap second only where more than half the replies used announce it.
    const size_t used = agreement.members.size();
    combined.leap = static_cast<uint8_t>(inserting * 2 > used   ? platform::LeapState::Insert
                                         : deleting * 2 > used ? platform::LeapState::Delete
                                                               : platform::LeapState::None);
    // The server's whole seconds as the middle offset puts them at that
    // reply, for the whole-second route.
    const platform::FileTime serverAtReply = serverTimeAtReply(combined);
    combined.serverSeconds =
        static_cast<uint32_t>((serverAtReply - platform::kFileTime1900) / platform::kFileTimeUnitsPerSecond);
    const bool sntp = base->sntp;
    combined.offsetMeasured = sntp && base->reply.offsetMeasured;
    serverName_ = base->server;
    samples_.clear();
    state_ = State::Running;
    successStep(combined, sntp);
}

void SyncOperation::noAuthenticatedAnswer() {
    showStatus(kNoAuthenticatedAnswer);
    if (logErrorsAllowed()) logLine(kNoAuthenticatedAnswer, LogLevel::Warning);
    host_.view.showOutcome(kNoAuthenticatedAnswer);
}

void SyncOperation::noMajority() {
    std::vector<std::string> servers;
    for (const Sample& s : samples_) {
        if (std::find(servers.begin(), servers.end(), s.server) == servers.end()) servers.push_back(s.server);
    }
    const std::string asked = servers.size() == 1 ? servers[0] : "the " + std::to_string(servers.size()) + " servers";
    showStatus(kServersDisagree);
    if (logErrorsAllowed()) logLine(kServersDisagree, LogLevel::Warning);
    recordHistory(nullptr, "Servers disagree", {}, &asked);
    host_.view.showOutcome(kServersDisagree);
    finish();
}

void SyncOperation::successStep(const QueryResult& reply, bool sntp) {
    querySntp_ = sntp;
    if (!host_.serviceMode) {
        host_.view.showServerName(serverName_);
        host_.statusHold = kHoldAfterSuccess;
    }
    const CorrectionMode mode = kind_ == OperationKind::Correct ? CorrectionMode::Correct : CorrectionMode::Check;
    // A window that may not set the clock asks for the right to make this
    // one change, when the user asked for the Correct: an AutoSync does not
    // bring a prompt up on its own every period, and fails as it would.
    const bool helped = mode == CorrectionMode::Correct && !automatic_ && !host_.serviceMode &&
                        clockPrivilegeHeld.load() == 0 && platform::narrowClockHelper();
    if (helped) showStatus(kAskingForTheRight);
    const Correction correction = correctClock(mode, reply, sntp, forceTimeProtocol_, serverName_,
                                               helped ? ClockRoute::Helper : ClockRoute::Direct);
    if (correction.serverClock) {
        host_.serverClock.value = *correction.serverClock;
        host_.serverClock.tick = correction.serverClockTick;
    }
    host_.serverClock.running = true;
    host_.view.showOutcome(correction.summary);
    std::optional<int64_t> change;
    if (correction.clockSet) change = correction.difference.units;
    // A Check whose certificate only the server's own time vouched for
    // shows what it found but teaches nothing of this clock.
    const bool vouched = mode == CorrectionMode::Correct || !reply.certificateCheckedByServer;
    if (vouched) noteSynchronised(mode, correction, reply, sntp);
    if (vouched && host_.clockMeasured) host_.clockMeasured(reply, sntp, correction, mode == CorrectionMode::Correct);
    recordHistory(&reply, mode == CorrectionMode::Check ? "Checked" : correction.clockSet ? "Corrected" : "Clock not set",
                  change);
    if (mode == CorrectionMode::Correct) {
        if (settings.dateRangeAutoReset.load() && settings.dateRangeEnabled.load()) resetDateRange();
        showStatus(correction.clockSet ? formatDifference(DifferenceForm::Status, correction.difference)
                                       : correction.outcome);
    } else {
        showStatus(slot(kSlotTimeChecked) + ", " + formatDifference(DifferenceForm::Check, correction.difference));
    }
    query_.reset();
    finish();
}

// A Correct that set the clock, or any Check, tells the time servers what
// is now known of the clock: a Check vouches only for what it found (a
// clock found well off is served as unsynchronised, whatever an earlier
// Correct said), a slewing Correct for the rest of its slew. Not when the
// user keeps the clock off the server's on purpose (a fixed offset,
// minutes and seconds only).
void SyncOperation::noteSynchronised(CorrectionMode mode, const Correction& correction, const QueryResult& reply,
                                     bool sntp) {
    if (settings.offsetAmount.load() != 0 || settings.minorOnly.load()) return;
    if (mode == CorrectionMode::Correct && !correction.clockSet) return;
    if (!host_.clockSynchronised) return;
    const bool measured = sntp && reply.offsetMeasured;
    ClockStanding sync;
    sync.lastSync = platform::getSystemTimeAsFileTime();
    sync.lastSyncRoundTripMs = reply.responseMs;
    sync.lastSyncErrorMs = measured ? 0 : kTimeProtocolErrorMs;
    sync.sourceReferenceId = reply.peerKnown ? referenceIdOf(reply.peer) : 0;
    if (mode == CorrectionMode::Check) {
        sync.offsetFound = reply.offsetUnits;
    } else if (correction.slewMs > 0) {
        sync.slewAmount = correction.difference.units;
        sync.slewEnd = sync.lastSync + correction.slewMs * platform::kFileTimeUnitsPerMs;
    }
    // TIME says nothing of its server's standing.
    if (sntp) {
        sync.upstreamStratum = reply.stratum;
        sync.upstreamRootDelay = reply.rootDelay;
        sync.upstreamRootDispersion = reply.rootDispersion;
    }
    const auto leap = static_cast<platform::LeapState>(reply.leap);
    if (leap == platform::LeapState::Insert || leap == platform::LeapState::Delete) {
        sync.leap = leap;
        sync.leapUntil = endOfUtcDay(serverTimeAtReply(reply));
    }
    host_.clockSynchronised(sync);
}

void SyncOperation::finish() {
    if (!host_.serviceMode) host_.view.showBusy(false);
    retireQuery();
    shown_ = Shown::None;
    timedOut_ = false;
    samples_.clear();
    state_ = State::Idle;
}

void SyncOperation::abort() {
    if (state_ == State::Idle) return;
    showStatus(slot(kSlotAborting));
    finish();
    host_.statusHold = kHoldAfterAbort;
}

void SyncOperation::stopQueries() {
    if (state_ == State::Waiting) {
        finish();
        return;
    }
    if (state_ == State::Running) state_ = State::Stopping;
}

uint64_t SyncOperation::msUntilDue() const {
    const uint64_t now = platform::getTickCount64();
    if (state_ == State::Waiting) {
        // Without a route, the next look at it is what is due.
        if (noRoute_) return routeLookTick_ + kRouteLookMs > now ? routeLookTick_ + kRouteLookMs - now : 0;
        return nextRoundTick_ > now ? nextRoundTick_ - now : 0;
    }
    if (!query_ || query_->finished()) return kNever;
    return deadline_ > now ? deadline_ - now : 0;
}

void SyncOperation::releaseEndedQueries() {
    std::erase_if(retired_, [](const std::unique_ptr<TimeQuery>& q) { return q->finished(); });
}

void SyncOperation::pass() {
    if (state_ == State::Idle) return;
    if (state_ == State::Waiting) {
        waitPass();
        return;
    }

    if (query_ && !query_->finished() && platform::getTickCount64() >= deadline_) timeOutStep();
    // The service shows no progress: its steps count as shown at once.
    if (host_.serviceMode && query_) {
        shown_ = static_cast<Shown>(std::min<uint32_t>(static_cast<uint32_t>(query_->step()),
                                                       static_cast<uint32_t>(Shown::Converting)));
    }
    const bool failed = timedOut_ || (query_ && query_->finished() && !query_->result().accepted);
    if (!showProgress() && failed) {
        failureStep();
        return;
    }
    if (!query_ || !query_->finished() || !query_->result().accepted || shown_ != Shown::Converting) return;
    if (logErrorsAllowed()) logRefusedSamples(query_->result(), serverName_);
    if (query_->result().certificateCheckedByServer && !certificateNoted_ && !settings.logDisabled.load()) {
        certificateNoted_ = true;
        logLine(certificateCheckedLine(query_->result().offsetUnits));
    }
    if (settings.averageEnabled.load()) {
        collectAverageSample();
        return;
    }
    queryAddress_ = query_->addressText();
    const QueryResult reply = query_->result();
    successStep(reply, querySntp_);
}

}  // namespace tavrel
