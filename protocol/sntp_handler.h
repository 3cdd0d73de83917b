// The SNTP server's decisions, free of I/O: what a received datagram is
// (a whole client request, a piece of one, or something to drop), whether
// its sender has asked too often, and the reply's bytes, with what the
// server knows of its own clock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/socket.h"
#include "platform/time.h"
#include "protocol/server_replies.h"
#include "protocol/time_protocol.h"

namespace tavrel {

// Per-client limits: an IPv4 address or an IPv6 /64 has a burst of
// kLimitBurst requests, then one every kLimitIntervalMs on average; of the
// requests beyond that, one in kKissEvery gets a RATE kiss, the rest no
// reply. The table keeps kLimitClients clients, dropping the least recently
// seen of a set when a new one comes.
inline constexpr uint32_t kLimitBurst = 16;
inline constexpr uint64_t kLimitIntervalMs = 2000;
inline constexpr uint32_t kKissEvery = 4;
inline constexpr size_t kLimitClients = 4096;

class ClientLimits {
public:
    enum class Verdict { Answer, Kiss, Drop };
    Verdict admit(const platform::NetAddress& client, uint64_t nowMs);

private:
    static constexpr size_t kWays = 8;
    static constexpr size_t kSets = kLimitClients / kWays;
    struct Entry {
        bool used = false;
        uint8_t key[9] = {};      // family, then the address (IPv4) or the /64
        uint64_t due = 0;         // ms: when the client's allowance is whole again
        uint64_t seen = 0;        // ms of its last request
        uint32_t refused = 0;
    };
    std::array<Entry, kLimitClients> entries_{};
};

// Requests that came in pieces: the first bytes a sender sent, waiting for
// the rest from the same address and port for half a second.
class PieceJoiner {
public:
    // Adds a piece; true when it completed a request, then in `request`.
    bool join(const uint8_t* bytes, size_t size, const platform::NetAddress& sender, uint64_t nowMs,
              uint8_t (&request)[kSntpPacketSize]);

private:
    static constexpr uint64_t kJoinWithinMs = 500;
    static constexpr size_t kMost = 16;
    struct Partial {
        bool used = false;
        platform::NetAddress sender;
        uint64_t at = 0;
        uint8_t bytes[kSntpPacketSize] = {};
        size_t size = 0;
    };
    std::array<Partial, kMost> partials_{};
};

// True for a source no client can have: port 0, an unspecified, broadcast
// or multicast address. Such a "request" is someone else's forgery, and a
// reply would go to many or to nobody.
bool isSpoofedSource(const platform::NetAddress& sender);

enum class SntpDecision { Drop, Answer, Kiss };

// Everything the SNTP server decides for one received datagram.
class SntpRequestHandler {
public:
    explicit SntpRequestHandler(bool limitClients = true) : limitClients_(limitClients) {}
    // A datagram of `size` bytes (a longer one's first 48) from `sender`.
    // Answer and Kiss leave the reply in `reply`, all but its
    // transmit timestamp (stampTransmit, just before it leaves).
    SntpDecision handle(const uint8_t* bytes, size_t size, const platform::NetAddress& sender,
                        uint64_t nowMs, platform::FileTime arrived, const ServedClock& clock,
                        uint8_t (&reply)[kSntpPacketSize]);

private:
    bool limitClients_;
    PieceJoiner pieces_;
    ClientLimits limits_;
};

void stampTransmit(uint8_t (&reply)[kSntpPacketSize], platform::FileTime leaving);

}  // namespace tavrel
