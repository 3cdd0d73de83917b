#include "protocol/sntp_handler.h"

#include <algorithm>
#include <cstring>

namespace tavrel {
namespace {

// The bytes that name a client for the limits: its IPv4 address, or the
// /64 an IPv6 host is given.
void clientKey(const platform::NetAddress& client, uint8_t (&key)[9]) {
    key[0] = client.family == platform::AddressFamily::V4 ? 4 : 6;
    std::memcpy(key + 1, client.bytes, client.family == platform::AddressFamily::V4 ? 4 : 8);
    if (client.family == platform::AddressFamily::V4) std::memset(key + 5, 0, 4);
}

size_t setOf(const uint8_t (&key)[9], size_t sets) {
    // FNV-1a over the key.
    uint64_t hash = 1469598103934665603ULL;
    for (uint8_t b : key) hash = (hash ^ b) * 1099511628211ULL;
    return static_cast<size_t>(hash % sets);
}

}  // namespace

ClientLimits::Verdict ClientLimits::admit(const platform::NetAddress& client, uint64_t nowMs) {
    uint8_t key[9];
    clientKey(client, key);
    Entry* set = &entries_[setOf(key, kSets) * kWays];
    Entry* entry = nullptr;
    for (size_t i = 0; i < kWays && entry == nullptr; ++i) {
        if (set[i].used && std::memcmp(set[i].key, key, sizeof key) == 0) entry = &set[i];
    }
    if (entry == nullptr) {
        // A new client takes a free place, else that of the set's least
        // recently seen.
        entry = &set[0];
        for (size_t i = 0; i < kWays; ++i) {
            if (!set[i].used) {
                entry = &set[i];
                break;
            }
            if (set[i].seen < entry->seen) entry = &set[i];
        }
        *entry = Entry{};
        entry->used = true;
        std::memcpy(entry->key, key, sizeof key);
        entry->due = nowMs;
    }
    entry->seen = nowMs;
    // The allowance: a request is answered while the client's debt (how far
    // `due` runs ahead of now) leaves room for one more interval within the
    // burst.
    const uint64_t start = std::max(entry->due, nowMs);
    if (start - nowMs <= (kLimitBurst - 1) * kLimitIntervalMs) {
        entry->due = start + kLimitIntervalMs;
        entry->refused = 0;
        return Verdict::Answer;
    }
    return entry->refused++ % kKissEvery == 0 ? Verdict::Kiss : Verdict::Drop;
}

bool PieceJoiner::join(const uint8_t* bytes, size_t size, const platform::NetAddress& sender, uint64_t nowMs,
                       uint8_t (&request)[kSntpPacketSize]) {
    Partial* slot = nullptr;
    for (Partial& p : partials_) {
        if (p.used && p.sender == sender && nowMs - p.at <= kJoinWithinMs) slot = &p;
    }
    if (slot == nullptr) {
        // A new sender's first piece: the stalest entry makes room.
        slot = &partials_.front();
        for (Partial& p : partials_) {
            if (!p.used || p.at < slot->at) slot = &p;
        }
        *slot = Partial{true, sender, nowMs, {}, 0};
    }
    const size_t room = kSntpPacketSize - slot->size;
    const size_t take = std::min(size, room);
    std::copy(bytes, bytes + take, slot->bytes + slot->size);
    slot->size += take;
    slot->at = nowMs;
    if (slot->size < kSntpPacketSize) return false;
    std::copy(slot->bytes, slot->bytes + kSntpPacketSize, request);
    slot->used = false;
    return true;
}

bool isSpoofedSource(const platform::NetAddress& sender) {
    if (sender.port == 0) return true;
    const uint8_t* b = sender.bytes;
    if (sender.family == platform::AddressFamily::V4) {
        const bool unspecified = b[0] == 0;               // 0.0.0.0/8
        const bool multicast = (b[0] & 0xF0) == 0xE0;     // 224.0.0.0/4
        const bool reservedOrBroadcast = b[0] >= 240;     // 240.0.0.0/4 and 255.255.255.255
        return unspecified || multicast || reservedOrBroadcast;
    }
    if (b[0] == 0xFF) return true;  // ff00::/8, multicast
    return std::all_of(b, b + 16, [](uint8_t x) { return x == 0; });  // ::
}

SntpDecision SntpRequestHandler::handle(const uint8_t* bytes, size_t size, const platform::NetAddress& sender, uint64_t nowMs,
                                        platform::FileTime arrived, const ServedClock& clock,
                                        uint8_t (&reply)[kSntpPacketSize]) {
    if (isSpoofedSource(sender)) return SntpDecision::Drop;
    if (size >= kSntpPacketSize) {
        // A longer datagram (extension fields) is read from its first bytes.
        std::copy(bytes, bytes + kSntpPacketSize, reply);
    } else if (!pieces_.join(bytes, size, sender, nowMs, reply)) {
        return SntpDecision::Drop;
    }
    if (!isSntpClientRequest(reply)) return SntpDecision::Drop;
    if (limitClients_) {
        switch (limits_.admit(sender, nowMs)) {
            case ClientLimits::Verdict::Answer: break;
            case ClientLimits::Verdict::Kiss: buildRateKiss(reply, arrived); return SntpDecision::Kiss;
            case ClientLimits::Verdict::Drop: return SntpDecision::Drop;
        }
    }
    buildSntpReply(reply, arrived, arrived, clock);
    return SntpDecision::Answer;
}

void stampTransmit(uint8_t (&reply)[kSntpPacketSize], platform::FileTime leaving) {
    writeTimestamp(reply + 40, leaving);
}

}  // namespace tavrel
