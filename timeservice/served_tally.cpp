#include "timeservice/served_tally.h"

namespace tavrel {

ServedTally::Client& ServedTally::find(const platform::NetAddress& client, uint64_t nowMs) {
    for (Client& c : clients_) {
        if (c.address.sameHost(client)) {
            c.lastSeen = nowMs;
            return c;
        }
    }
    if (clients_.size() < kMostClients) {
        clients_.push_back(Client{client, 0, false, nowMs});
        return clients_.back();
    }
    // Full: the client heard from longest ago makes room. A flood from many
    // (perhaps forged) addresses stays within the bound.
    Client* oldest = &clients_.front();
    for (Client& c : clients_) {
        if (c.lastSeen < oldest->lastSeen) oldest = &c;
    }
    *oldest = Client{client, 0, false, nowMs};
    return *oldest;
}

bool ServedTally::served(const platform::NetAddress& client, uint64_t nowMs, uint64_t requests) {
    if (requests == 0) return false;
    if (!started_) {
        started_ = true;
        windowStart_ = nowMs;
    }
    Client& c = find(client, nowMs);
    const bool due = !c.lined || nowMs - c.lastLine >= kMinuteMs;
    const bool line = due && linesThisMinute_ < kMostLinesAMinute;
    if (line) {
        c.lined = true;
        c.lastLine = nowMs;
        ++linesThisMinute_;
        --requests;
    }
    if (requests > 0) {
        unlogged_.requests += requests;
        unloggedClients_.add(client);
    }
    return line;
}

std::optional<ServedTally::Summary> ServedTally::summaryDue(uint64_t nowMs) {
    if (!started_ || nowMs - windowStart_ < kMinuteMs) return std::nullopt;
    return summaryNow(nowMs);
}

std::optional<ServedTally::Summary> ServedTally::summaryNow(uint64_t nowMs) {
    windowStart_ = nowMs;
    linesThisMinute_ = 0;
    std::optional<Summary> due;
    if (unlogged_.requests > 0) {
        due = unlogged_;
        due->clients = unloggedClients_.count();
        due->clientsEstimated = unloggedClients_.estimated();
    }
    unlogged_ = Summary{};
    unloggedClients_.clear();
    return due;
}

}  // namespace tavrel
