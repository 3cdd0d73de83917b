#include "servers/server_scan.h"

#include <chrono>
#include <ratio>
#include <utility>

#include "servers/server_list.h"
#include "storage/history.h"
#include "storage/settings.h"

namespace tavrel {
namespace {

// The time-out in tenths of a second, losing 7 a tick.
constexpr int32_t kCountdownPerTick = 7;
constexpr int32_t kTimedOutBelow = 10;
using Tenths = std::chrono::duration<int64_t, std::deci>;

}  // namespace

void GivenUpQueries::giveUp(std::unique_ptr<TimeQuery> query) {
    if (!query) return;
    query->abort();
    if (!query->finished()) queries_.push_back(std::move(query));
}

void GivenUpQueries::releaseEnded() {
    std::erase_if(queries_, [](const std::unique_ptr<TimeQuery>& q) { return q->finished(); });
}

bool GivenUpQueries::pending() {
    releaseEnded();
    return !queries_.empty();
}

ServerScan::ServerScan(GivenUpQueries& givenUp) : givenUp_(givenUp) {
    limits_.dateRangeEnabled = settings.dateRangeEnabled.load();
    limits_.dateRangeLow = settings.dateRangeLow.load();
    limits_.dateRangeHigh = settings.dateRangeHigh.load();
    (void)readServerList([this](int, std::string_view name) { servers_.emplace_back(name); });
}

ServerScan::~ServerScan() { givenUp_.giveUp(std::move(query_)); }

void ServerScan::startStep() {
    if (measuringTime_) {
        timeMs_.push_back(-1);
        sntpMs_.push_back(-1);
    }
    QueryTarget target = limits_;
    target.server = servers_[row_];
    target.useTime = measuringTime_;
    // The scan measures one round trip to each server.
    target.sntpSamples = 1;
    const std::chrono::seconds timeout = settings.syncTimeout.load();
    target.timeoutMs = static_cast<uint32_t>(std::chrono::milliseconds(timeout).count());
    query_ = std::make_unique<TimeQuery>(std::move(target), nullptr);
    countdown_ = static_cast<int32_t>(std::chrono::duration_cast<Tenths>(timeout).count());
}

void ServerScan::record(const ScanFinding& finding, const QueryResult* reply) {
    const bool answered = finding.outcome == ScanFinding::Outcome::Answered;
    HistoryEntry history;
    history.when = platform::getSystemTimeAsFileTime();
    history.action = "Scan";
    history.server = servers_[finding.row];
    history.address = finding.address;
    history.protocol = finding.byTime ? "TIME" : "SNTP";
    if (answered) history.roundTripMs = finding.responseMs;
    if (reply != nullptr && reply->accepted) {
        history.offsetSeconds = static_cast<double>(reply->offsetUnits) / static_cast<double>(platform::kFileTimeUnitsPerSecond);
    }
    history.outcome = answered ? "Answered" : "No response";
    appendHistory(history);
    (finding.byTime ? timeMs_ : sntpMs_)[finding.row] = answered ? static_cast<int64_t>(finding.responseMs) : -1;
}

void ServerScan::advance() {
    if (measuringTime_) {
        measuringTime_ = false;
    } else {
        measuringTime_ = true;
        ++row_;
    }
}

std::optional<ScanFinding> ServerScan::tick() {
    givenUp_.releaseEnded();
    if (!query_) return std::nullopt;
    ScanFinding finding;
    finding.row = row_;
    finding.byTime = measuringTime_;
    if (query_->finished()) {
        const QueryResult& result = query_->result();
        finding.address = query_->addressText();
        finding.outcome = result.accepted ? ScanFinding::Outcome::Answered : ScanFinding::Outcome::Failed;
        if (result.accepted) finding.responseMs = result.responseMs;
        record(finding, &result);
        query_.reset();
        advance();
        return finding;
    }
    countdown_ -= kCountdownPerTick;
    if (countdown_ >= kTimedOutBelow) return std::nullopt;
    finding.address = query_->addressText();
    finding.outcome = ScanFinding::Outcome::TimedOut;
    givenUp_.giveUp(std::move(query_));
    record(finding, nullptr);
    advance();
    return finding;
}

// The answering servers first, fastest by SNTP (by TIME where SNTP did not
// answer), then the silent ones, in their old order.
std::string ServerScan::sortListByResponse() const {
    ServerRanking rank;
    constexpr int64_t kTimeOnly = int64_t{1} << 40;  // after every SNTP time
    for (size_t i = 0; i < servers_.size() && i < sntpMs_.size(); ++i) {
        const int64_t sntp = sntpMs_[i];
        const int64_t time = timeMs_[i];
        const int64_t position = sntp >= 0 ? sntp : time >= 0 ? kTimeOnly + time : INT64_MAX - 1;
        rank.emplace_back(servers_[i], position);
    }
    return sortServerList(rank);
}

}  // namespace tavrel
