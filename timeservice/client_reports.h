// What the time servers tell of the clients they answer: the status line,
// the log (by the ServedTally's rules, so a flood never erases it) and the
// clients' names, looked up on a thread of their own. The serving threads
// only hand over addresses, so no lookup or write ever stands in front of
// an answer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "timeservice/served_tally.h"

namespace tavrel {

enum class ServedBy { Time = 0, Sntp = 1 };

// Where the status lines go ("TIME Server Tavreled client", a port error);
// called from the reporting thread. Empty: nowhere.
using ServerStatusSink = std::function<void(std::string)>;

// How clients' names are found: the name registered for an address
// (reverse lookup; empty when none) and the addresses a name gives
// (forward lookup). The system's resolver unless a test gives its own.
struct NameLookups {
    std::function<std::string(const platform::NetAddress&)> reverse = platform::reverseLookup;
    std::function<std::vector<platform::NetAddress>(const std::string&)> forward = platform::resolveAll;
};

// The client's name when its reverse lookup gives one that leads back to
// the same address, else empty: whoever controls a reverse zone can put any
// name there, but only the name's owner can make it resolve to the client.
std::string confirmedName(const platform::NetAddress& client, const NameLookups& lookups);

// A client as the log and the status line give it: "192.0.2.7", or
// "192.0.2.7 (host.example)" with its confirmed name.
std::string clientText(const platform::NetAddress& client, const std::string& name);

class ClientReports {
public:
    // A client's name waits this long for its lookup before the line gives
    // the address instead.
    static constexpr uint64_t kNameWaitMs = 1000;

    explicit ClientReports(NameLookups lookups = {}) : nameLookups_(std::move(lookups)) {}
    // Ends both threads, waiting for a lookup under way.
    ~ClientReports();
    ClientReports(const ClientReports&) = delete;
    ClientReports& operator=(const ClientReports&) = delete;

    // Trouble goes to `trouble`, or where the status lines go when empty.
    void start(ServerStatusSink sink, ServerStatusSink trouble = {});
    // Ends and joins the reporting thread (lines still waiting for names
    // are written with addresses first) and drops the lookups not begun.
    // Never waits for a lookup: the name thread stays for the next start
    // (a silent DNS server holds a lookup for many seconds, and the servers
    // start and stop from the window's thread).
    void stop();
    // Answered clients, from a serving thread; never waits on I/O.
    void served(ServedBy by, const platform::NetAddress* clients, int count);
    // A server's trouble (a port it cannot have): the status line and the log.
    void problem(const std::string& text);

private:
    // Requests in a row from one client, kept as one.
    struct Event {
        ServedBy by;
        platform::NetAddress client;
        uint64_t requests = 1;
    };
    struct Line {
        ServedBy by;
        platform::NetAddress client;
        uint64_t queuedAt;
    };
    void report();
    void resolve();
    bool nameOf(const platform::NetAddress& client, std::string& name);
    void writeLines(bool flush);

    const NameLookups nameLookups_;
    ServerStatusSink sink_;
    ServerStatusSink trouble_;
    std::mutex mutex_;  // guards everything below but the threads
    std::condition_variable changed_;
    bool stopping_ = false;         // the reporting thread ends
    bool resolverEnding_ = false;   // the name thread ends
    std::vector<Event> events_;
    uint64_t droppedEvents_[2] = {0, 0};
    std::vector<std::string> problems_;
    std::vector<platform::NetAddress> lookups_;  // waiting for the resolver
    struct Name {
        platform::NetAddress address;
        std::string name;  // confirmed, or empty
        uint64_t used;
    };
    std::vector<Name> names_;
    uint64_t nameUses_ = 0;

    // The reporting thread's own.
    ServedTally tallies_[2];
    std::vector<Line> lines_;

    std::thread reporter_;
    std::thread resolver_;
};

}  // namespace tavrel
