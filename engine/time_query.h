// One time query to one server, on a thread of its own: resolve, exchange
// one TIME request and reply or up to four SNTP ones, convert, measure,
// test the date range.
// Each query is an object of its own: its starter reads its progress and,
// once it has finished, its result; nothing of it outlives the object, so
// a new query always starts from a clean state.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <thread>

#include "platform/socket.h"
#include "platform/time.h"
#include "storage/settings.h"

namespace tavrel {

class NtsClient;

// How far a query has come. A failure leaves the last step reached.
enum class QueryStep : uint32_t {
    None = 0,
    Started = 1,          // the thread runs
    CreatingSocket = 2,   // the socket library is ready
    Connecting = 3,       // the address is known
    WaitingForReply = 4,  // connected, the request is out
    Converting = 5,       // the reply is complete
    Accepted = 6,         // done, the reply was accepted
};

// What to ask and what to accept.
struct QueryTarget {
    std::string server;   // host name, dotted-quad or IPv6 address ("::1", "[2001:db8::1]")
    bool manual = false;  // a manually entered address: never looked up as a name
    bool useTime = false; // TIME (TCP 37) instead of SNTP (UDP 123)
    bool dateRangeEnabled = false;
    // Replies whose time lies outside these bounds (upper words compared,
    // as local times) are refused.
    platform::FileTime dateRangeLow = 0;
    platform::FileTime dateRangeHigh = 0;
    // The whole query's time-out: a name with several addresses gives each
    // its share before the next is tried (0: no limit of its own).
    uint32_t timeoutMs = 0;
    // How many SNTP requests the query may send, the reply with the
    // shortest round trip kept (1 to 4). An average that asks one server
    // four times, and the scan, which measures one round trip, send one.
    int sntpSamples = 4;
    // This computer's clock counts as synchronised, as its own servers
    // would say at the query's start. When it does not, an nts:// entry's
    // certificate outside its validity period by this clock may still be
    // taken, checked against the server's authenticated time instead.
    bool clockKnownGood = true;
};

// The outcome of a finished query.
struct QueryResult {
    bool accepted = false;
    uint32_t serverSeconds = 0;  // the reply's time in wire seconds since 1900
    bool offsetMeasured = false; // an SNTP exchange measured the offset below
    // Server minus this computer in 100 ns, half the round trip
    // compensated: measured by SNTP; for TIME estimated from the whole
    // second sent (its middle, as the server cuts its clock to the second)
    // and half the connection's round trip.
    int64_t offsetUnits = 0;
    // SNTP and NTS: how far the measured offset may be from the truth by
    // the exchange alone (half the width of the bounds its samples left;
    // at most half the round trip), 100 ns.
    int64_t offsetBoundUnits = 0;
    uint32_t replyTick = 0;      // tick count when the reply was complete
    platform::FileTime replyClock = 0;  // this computer's clock (UTC) when the reply was complete
    uint32_t responseMs = 0;     // from the query's start to the reply
    // The reply fell below or above the accepted date range.
    bool belowDateRange = false;
    bool aboveDateRange = false;
    // The server sent a Kiss-o'-Death with this code ("RATE", "DENY", ...).
    std::string kiss;
    // Why the query failed, for the log: an NTS entry's reason
    // ("certificate not valid for time.example.org", ...), a reply that was
    // not the server's answer or could not be used ("reply did not answer
    // our request", "server not synchronised"), samples that disagreed.
    std::string failure;
    // Samples of the exchange that disagreed with the others and were
    // refused: each one's own offset less the one taken (100 ns).
    std::vector<int64_t> refusedSamples;
    uint32_t samplesTaken = 0;  // SNTP and NTS: how many samples the exchange had
    // What the accepted reply said of its server: the stratum, root delay and
    // dispersion (16.16 seconds) and the address answered from, which names
    // this computer's source in the replies of its own servers.
    uint8_t stratum = 0;
    // The leap indicator (SNTP, NTS): 1 a second is inserted at the end of
    // the UTC day, 2 one is deleted; 0 none (TIME never says).
    uint8_t leap = 0;
    uint32_t rootDelay = 0;
    uint32_t rootDispersion = 0;
    platform::NetAddress peer;
    bool peerKnown = false;
    // NTS: the certificate's validity was checked against the server's
    // authenticated time, this computer's clock being far off and not
    // known good.
    bool certificateCheckedByServer = false;
};

// The server's clock when an accepted reply was complete: this computer's
// clock then, moved by the offset measured. A Check's or a Correct's row in
// the clock's history carries it, as this computer's clock may be wrong.
platform::FileTime serverTimeAtReply(const QueryResult& reply);

class TimeQuery {
public:
    // Starts the query on its own thread; onProgress runs on that thread at
    // every step from CreatingSocket on and when the query has finished.
    TimeQuery(QueryTarget target, std::function<void()> onProgress);
    // Aborts the query if it still runs and waits for its thread.
    ~TimeQuery();
    TimeQuery(const TimeQuery&) = delete;
    TimeQuery& operator=(const TimeQuery&) = delete;

    QueryStep step() const { return step_.load(); }
    // True once the thread has done all its work; result() is then final.
    bool finished() const { return finished_.load(std::memory_order_acquire); }
    // Only after finished().
    const QueryResult& result() const { return result_; }
    // The dotted-quad address contacted, once known.
    std::string addressText() const;
    const QueryTarget& target() const { return target_; }

    // Makes the query give up: its socket is closed, so a blocked connect
    // or receive fails at once. Never waits.
    void abort();

private:
    void run();
    // The addresses to try, in order.
    std::vector<platform::NetAddress> addresses() const;
    bool contactServer();
    bool timeExchange(platform::Socket& socket, uint32_t startTick, platform::FileTime roundTrip);
    // Notes the first reason a reply was passed over, told if the query fails.
    void notePassedOver(const char* reason);
    // waitLimitMs: how long a last request with nothing measured yet waits
    // (-1: until the query is given up).
    bool sntpExchange(std::shared_ptr<platform::Socket> socket, const platform::NetAddress& peer, uint32_t startTick,
                      int waitLimitMs);
    // An nts:// entry: NTS-KE where no cookie is left, then up to four
    // authenticated samples, as SNTP's.
    bool ntsExchange(uint32_t startTick);
    // A socket for the peer, made the one an abort closes; nullptr when
    // none could be made or the query was aborted.
    std::shared_ptr<platform::Socket> openSocket(const platform::NetAddress& peer, platform::SocketKind kind);
    void advance(QueryStep step);
    // The wire time lies outside the date range the target accepts.
    bool outsideDateRange(uint32_t serverSeconds) const;

    const QueryTarget target_;
    const std::function<void()> onProgress_;
    std::atomic<QueryStep> step_{QueryStep::None};
    std::atomic<bool> aborted_{false};
    std::atomic<bool> finished_{false};
    QueryResult result_;  // written by the query thread before finished_ is set
    mutable std::mutex mutex_;  // guards socket_, nts_ and address_
    std::shared_ptr<platform::Socket> socket_;
    NtsClient* nts_ = nullptr;  // the NTS client in use, while an exchange runs
    std::string address_;
    std::string passedOver_;  // the query thread's alone
    std::thread thread_;  // last: starts once everything above exists
};

// Logs the samples of an accepted reply that disagreed with the others and
// were refused, naming the server ("127.0.0.1: 1 of 4 samples refused, off
// the others by +1000.000 s"); nothing when none was.
void logRefusedSamples(const QueryResult& reply, const std::string& server);

// Which bounds of the date range one operation has widened already.
struct DateRangeWidening {
    bool low = false;
    bool high = false;
};

// A refused reply moves the bound that refused it out by 1500 upper-word
// units (about 7.5 days) when the date range resets itself, so that a later
// operation seeing about the same time accepts it step by step. Each bound
// moves at most once per operation (`done` tracks it): otherwise a liar
// asked again and again would walk the bound to its own time in seconds.
void widenDateRange(const QueryResult& result, DateRangeWidening& done);
inline void widenDateRange(const QueryResult& result) {
    DateRangeWidening once;
    widenDateRange(result, once);
}

// The protocol the next query uses, Time or Sntp: the setting, or under
// Auto the choice the fallback walk made.
Protocol effectiveProtocol(Protocol autoChoice);

}  // namespace tavrel
