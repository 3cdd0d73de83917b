// How the log keeps up with the clients the time servers answer, whatever
// the request rate: a client's request earns a line of its own when the
// client had none in the last minute (and fewer than kMostLinesAMinute
// clients had one this minute); every other request is counted, and once a
// minute the count goes into one summary line, and the rest at the end.
// Pure bookkeeping, the times given by the caller. The clients with lines
// of their own are kept up to kMostClients (the one heard from longest ago
// makes room); the clients of a summary are counted apart from them, so a
// client pushed out is never counted twice.
#pragma once

#include <cstdint>
#include <list>
#include <optional>
#include <unordered_map>

#include "platform/socket.h"
#include "timeservice/distinct_counter.h"

namespace tavrel {

class ServedTally {
public:
    static constexpr uint64_t kMinuteMs = 60'000;
    static constexpr uint64_t kMostLinesAMinute = 60;
    static constexpr size_t kMostClients = 1024;

    // `requests` requests from `client` at `nowMs`: true when the first
    // earns a line of its own (the others are counted).
    bool served(const platform::NetAddress& client, uint64_t nowMs, uint64_t requests = 1);

    // Requests that came with no client to count them by (the reporting
    // queue was full).
    void countWithoutClient(uint64_t requests) { unlogged_.requests += requests; }

    struct Summary {
        uint64_t requests = 0;
        uint64_t clients = 0;
        bool clientsEstimated = false;  // too many to count exactly
    };
    // When a minute has passed since the last summary: the requests (and
    // the clients they came from) that had no line of their own since.
    std::optional<Summary> summaryDue(uint64_t nowMs);
    // The same at once, whatever the time (when the servers stop): what no
    // summary has told yet, if anything.
    std::optional<Summary> summaryNow(uint64_t nowMs);

private:
    // A host as a key: its family and address bytes.
    struct HostKey {
        uint8_t family = 0;
        uint64_t high = 0;
        uint64_t low = 0;
        bool operator==(const HostKey&) const = default;
    };
    struct HostKeyHash {
        size_t operator()(const HostKey& k) const;
    };
    static HostKey keyOf(const platform::NetAddress& client);
    struct Client {
        HostKey key;
        uint64_t lastLine = 0;
        bool lined = false;  // ever had a line
    };
    // Finds the client (or makes room for it); it becomes the most
    // recently seen. Constant time, however many clients come.
    Client& find(const platform::NetAddress& client);

    // Most recently seen first; the index finds a client's place.
    std::list<Client> clients_;
    std::unordered_map<HostKey, std::list<Client>::iterator, HostKeyHash> index_;
    bool started_ = false;
    uint64_t windowStart_ = 0;
    uint64_t linesThisMinute_ = 0;
    Summary unlogged_;
    DistinctCounter unloggedClients_;  // the clients of unlogged_
};

}  // namespace tavrel
