#include "engine/operation.h"

#include <algorithm>

#include "storage/log.h"
#include "storage/history.h"
#include "storage/settings.h"
#include "storage/string_slots.h"
#include "storage/strings.h"

namespace tavrel {
namespace {

constexpr uint32_t kAverageSamples = 4;
constexpr uint64_t kSecondMs = 1000;

bool logErrorsAllowed() { return settings.logErrors.load() != 0 && settings.logDisabled.load() == 0; }

}  // namespace

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
    if (host_.serverListEmpty && host_.serverListEmpty() && settings.serverSource.load() == 0) settings.serverSource.store(1);
    // A running time server keeps the idle look: Check then aborts.
    if (!host_.serviceMode && settings.timeServerEnabled.load() == 0) host_.view.showBusy(true);
    (void)host_.pickServer(settings.selectedServer.load() + 1, serverName_);
    averageCount_ = 0;
    averageSum_ = 0;
    startQuery();
}

void SyncOperation::recordHistory(const QueryResult* reply, const char* outcome) const {
    HistoryEntry entry;
    entry.when = platform::getSystemTimeAsFileTime();
    const bool correct = kind_ == OperationKind::Correct;
    entry.action = automatic_ ? (correct ? "AutoSync" : "AutoCheck") : (correct ? "Correct" : "Check");
    entry.server = serverName_;
    if (query_) entry.address = query_->addressText();
    entry.protocol = querySntp_ ? "SNTP" : "TIME";
    if (reply != nullptr) {
        if (reply->offsetMeasured) {
            entry.offsetSeconds = static_cast<double>(reply->offsetUnits) / static_cast<double>(platform::kFileTimeUnitsPerSecond);
        }
        entry.roundTripMs = reply->responseMs;
    }
    entry.outcome = outcome;
    appendHistory(entry);
}

void SyncOperation::startQuery() {
    const int32_t protocol = effectiveProtocol(host_.autoProtocolChoice);
    QueryTarget target;
    const int32_t source = settings.serverSource.load();
    if (source != 0) {
        // The manual sources are addresses; every later text names them.
        serverName_ = source == 1 ? manualAddressA() : manualAddressB();
        target.manual = true;
    }
    target.server = serverName_;
    target.useTime = protocol == 0 || forceTimeProtocol_;
    target.dateRangeEnabled = settings.dateRangeEnabled.load() != 0;
    target.dateRangeLow = settings.dateRangeLow.load();
    target.dateRangeHigh = settings.dateRangeHigh.load();
    target.timeoutMs = static_cast<uint32_t>(settings.syncTimeout.load()) * kSecondMs;
    querySntp_ = !target.useTime;
    // The server's clock stops while an SNTP exchange measures the offset.
    if (querySntp_) host_.serverClock.running = false;
    shown_ = Shown::None;
    timedOut_ = false;
    deadline_ = platform::getTickCount64() + settings.syncTimeout.load() * kSecondMs;
    query_ = std::make_unique<TimeQuery>(std::move(target), host_.wake);
}

void SyncOperation::retireQuery() {
    if (!query_) return;
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
    if (settings.serverSource.load() != 0 || settings.defaultServerOnly.load() != 0) state_ = State::Stopping;
}

void SyncOperation::failureStep() {
    showStatus(slot(kSlotUnableToSync) + serverName_);
    if (query_) widenDateRange(query_->result());
    query_.reset();
    timedOut_ = false;
    shown_ = Shown::None;
    if (logErrorsAllowed()) logNamedLine(slot(kSlotNoResponse), serverName_, LogLevel::Warning);
    host_.view.showOutcome(slot(kSlotNoResponse) + serverName_);
    recordHistory(nullptr, "No response");
    if (state_ == State::Stopping || settings.defaultServerOnly.load() != 0 || settings.serverSource.load() != 0) {
        finish();
    } else {
        nextServer();
    }
}

void SyncOperation::nextServer() {
    if (state_ == State::Stopping) {
        finish();
        return;
    }
    if (settings.protocol.load() == 2 && host_.autoProtocolChoice == 1) {
        host_.autoProtocolChoice = 0;  // the same server again, by TIME
    } else {
        host_.autoProtocolChoice = 1;
        settings.selectedServer.store(settings.selectedServer.load() + 1);
        if (!host_.pickServer(settings.selectedServer.load() + 1, serverName_)) {
            settings.selectedServer.store(0);
            if (!host_.pickServer(1, serverName_)) {
                finish();
                return;
            }
        }
    }
    startQuery();
}

bool SyncOperation::collectAverageSample() {
    const QueryResult& reply = query_->result();
    if (reply.serverSeconds != 0) {
        averageSum_ += reply.serverSeconds / kAverageSamples;
        // Every earlier sample is moved forward by the time since it was taken.
        const uint32_t now = platform::getTickCount();
        uint32_t elapsed = now - reply.replyTick;
        if (averageCount_ != 0) elapsed += (now - averageLastTick_) * averageCount_;
        averageLastTick_ = now;
        averageSum_ += (elapsed / 1000) / kAverageSamples;
        ++averageCount_;
    }
    if (averageCount_ == kAverageSamples) return true;
    // Only a sample: the next query starts (under Auto, the same server by TIME).
    query_.reset();
    shown_ = Shown::None;
    nextServer();
    return false;
}

void SyncOperation::successStep() {
    QueryResult reply = query_->result();
    if (settings.averageEnabled.load() != 0) reply.serverSeconds = averageSum_;
    if (!host_.serviceMode) {
        host_.view.showServerName(serverName_);
        host_.statusHold = kHoldAfterSuccess;
    }
    const CorrectionMode mode = kind_ == OperationKind::Correct ? CorrectionMode::Correct : CorrectionMode::Check;
    const Correction correction = correctClock(mode, reply, querySntp_, forceTimeProtocol_, serverName_);
    if (correction.serverClock) {
        host_.serverClock.value = *correction.serverClock;
        host_.serverClock.tick = correction.serverClockTick;
    }
    host_.serverClock.running = true;
    host_.view.showOutcome(correction.summary);
    recordHistory(&reply, mode == CorrectionMode::Check ? "Checked" : correction.clockSet ? "Corrected" : "Clock not set");
    if (mode == CorrectionMode::Correct) {
        if (settings.dateRangeAutoReset.load() != 0 && settings.dateRangeEnabled.load() != 0) resetDateRange();
        showStatus(correction.clockSet ? formatDifference(DifferenceForm::Status, correction.difference)
                                       : slot(kSlotErrorSettingTime));
    } else {
        showStatus(slot(kSlotTimeChecked) + ", " + formatDifference(DifferenceForm::Check, correction.difference));
    }
    query_.reset();
    finish();
}

void SyncOperation::finish() {
    if (!host_.serviceMode) host_.view.showBusy(false);
    retireQuery();
    shown_ = Shown::None;
    timedOut_ = false;
    state_ = State::Idle;
}

void SyncOperation::abort() {
    if (state_ == State::Idle) return;
    showStatus(slot(kSlotAborting));
    finish();
    host_.statusHold = kHoldAfterAbort;
}

void SyncOperation::stopQueries() {
    if (state_ == State::Running) state_ = State::Stopping;
}

uint64_t SyncOperation::msUntilTimeout() const {
    if (!query_ || query_->finished()) return 0;
    const uint64_t now = platform::getTickCount64();
    return deadline_ > now ? deadline_ - now : 0;
}

void SyncOperation::releaseEndedQueries() {
    std::erase_if(retired_, [](const std::unique_ptr<TimeQuery>& q) { return q->finished(); });
}

void SyncOperation::pass() {
    if (state_ == State::Idle) return;

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
    if (settings.averageEnabled.load() != 0 && !collectAverageSample()) return;
    successStep();
}

}  // namespace tavrel
