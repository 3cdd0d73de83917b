#include "timeservice/served_tally.h"

#include <iterator>

namespace tavrel {

size_t ServedTally::HostKeyHash::operator()(const HostKey& k) const {
    uint64_t h = k.high * 0x9E3779B97F4A7C15ULL ^ (k.low + k.family);
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 29;
    return static_cast<size_t>(h);
}

ServedTally::HostKey ServedTally::keyOf(const platform::NetAddress& client) {
    HostKey key;
    const bool v6 = client.family == platform::AddressFamily::V6;
    key.family = v6 ? 6 : 4;
    for (size_t i = 0; i < 8; ++i) key.high = (key.high << 8) | client.bytes[i];
    if (v6) {
        for (size_t i = 8; i < 16; ++i) key.low = (key.low << 8) | client.bytes[i];
    }
    return key;
}

ServedTally::Client& ServedTally::find(const platform::NetAddress& client) {
    const HostKey key = keyOf(client);
    if (const auto found = index_.find(key); found != index_.end()) {
        clients_.splice(clients_.begin(), clients_, found->second);
        return clients_.front();
    }
    if (clients_.size() < kMostClients) {
        clients_.push_front(Client{key, 0, false});
        index_.emplace(key, clients_.begin());
        return clients_.front();
    }
    // Full: the client heard from longest ago makes room (its entries are
    // reused). A flood from many (perhaps forged) addresses stays within
    // the bound.
    clients_.splice(clients_.begin(), clients_, std::prev(clients_.end()));
    auto entry = index_.extract(clients_.front().key);
    entry.key() = key;
    index_.insert(std::move(entry));
    clients_.front() = Client{key, 0, false};
    return clients_.front();
}

bool ServedTally::served(const platform::NetAddress& client, uint64_t nowMs, uint64_t requests) {
    if (requests == 0) return false;
    if (!started_) {
        started_ = true;
        windowStart_ = nowMs;
    }
    Client& c = find(client);
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
