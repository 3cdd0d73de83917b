#include "engine/time_query.h"

#include <algorithm>
#include <optional>

#include "nts/nts_client_store.h"
#include "nts/nts_server_entry.h"
#include "platform/nts_crypto.h"
#include "platform/thread.h"
#include "protocol/time_protocol.h"
#include "storage/settings.h"

namespace tavrel {
namespace {

constexpr int kMaxReceiveAttempts = 100;  // a further pass after this many ends the loop
constexpr uint32_t kDateRangeWidening = 1500;
// Several SNTP samples: how many at most, how far apart, how long one's
// reply is waited for before it counts as lost.
constexpr int kMaxSntpSamples = 4;
constexpr uint32_t kSampleSpacingMs = 200;
constexpr uint32_t kSampleWaitMs = 1000;


enum class Received { Complete, Incomplete, Failed };

// One SNTP or NTS sample: the four timestamps, the tick count and wire
// seconds of its reply, and its round trip less the server's own time.
struct Sample {
    platform::FileTime t1, t2, t3, t4;
    uint32_t tick;
    uint32_t transmitSeconds;
    int64_t delay;
};

Sample makeSample(platform::FileTime t1, const SntpTimestamps& stamps, platform::FileTime t4) {
    const platform::FileTime t2 = ntpToFileTime(stamps.receiveSeconds, stamps.receiveFraction);
    const platform::FileTime t3 = ntpToFileTime(stamps.transmitSeconds, stamps.transmitFraction);
    const int64_t delay = (static_cast<int64_t>(t4) - static_cast<int64_t>(t1)) -
                          (static_cast<int64_t>(t3) - static_cast<int64_t>(t2));
    return Sample{t1, t2, t3, t4, platform::getTickCount(), stamps.transmitSeconds, delay};
}

// The samples of one exchange. Every reply bounds the offset: the server's
// clock is at most T2 - T1 ahead (the request took no time) and at least
// T3 - T4 (the reply took none). The tightest bounds of all the samples
// are kept; their middle is the offset, which for the sample with the
// shortest round trip alone is its own, and which the other samples can
// only narrow.
class SampleSet {
public:
    void add(const Sample& sample) {
        if (!best_ || sample.delay < best_->delay) best_ = sample;
        if (!outbound_ || ahead(sample) < ahead(*outbound_)) outbound_ = sample;
        if (!inbound_ || behind(sample) > behind(*inbound_)) inbound_ = sample;
    }
    // This sample alone decides (a time outside the date range).
    void only(const Sample& sample) { best_ = outbound_ = inbound_ = sample; }
    bool empty() const { return !best_; }
    void fill(QueryResult& result) const {
        result.replyTick = best_->tick;
        result.replyClock = best_->t4;
        result.serverSeconds = best_->transmitSeconds;
        result.offsetUnits = sntpOffsetUnits(outbound_->t1, outbound_->t2, inbound_->t3, inbound_->t4);
        result.offsetMeasured = true;
        // The shortest round trip, as the log gives it.
        const platform::FileTime roundTrip = best_->t4 > best_->t1 ? best_->t4 - best_->t1 : 0;
        result.responseMs = static_cast<uint32_t>(roundTrip / platform::kFileTimeUnitsPerMs);
    }

private:
    static int64_t ahead(const Sample& s) { return static_cast<int64_t>(s.t2 - s.t1); }
    static int64_t behind(const Sample& s) { return static_cast<int64_t>(s.t3 - s.t4); }
    std::optional<Sample> best_, outbound_, inbound_;
};

// Gathers `wanted` bytes with at most 101 receive calls; gives up early
// once the query is aborted. A receive error fails the loop.
Received receiveLoop(platform::Socket& socket, uint8_t* buffer, size_t wanted, const std::atomic<bool>& aborted) {
    size_t got = 0;
    for (int attempts = 0;;) {
        const long n = socket.receive(buffer + got, wanted - got);
        ++attempts;
        if (n < 0) return Received::Failed;
        got += static_cast<size_t>(n);
        if (got == wanted) return Received::Complete;
        if (attempts > kMaxReceiveAttempts || aborted.load()) return Received::Incomplete;
    }
}

}  // namespace

TimeQuery::TimeQuery(QueryTarget target, std::function<void()> onProgress)
    : target_(std::move(target)), onProgress_(std::move(onProgress)), thread_([this] { run(); }) {}

TimeQuery::~TimeQuery() {
    abort();
    if (thread_.joinable()) thread_.join();
}

std::string TimeQuery::addressText() const {
    std::lock_guard lock(mutex_);
    return address_;
}

void TimeQuery::abort() {
    aborted_.store(true);
    std::lock_guard lock(mutex_);
    if (socket_) socket_->close();
    if (nts_) nts_->abort();
}

void TimeQuery::advance(QueryStep step) {
    step_.store(step);
    if (onProgress_) onProgress_();
}

bool TimeQuery::timeExchange(platform::Socket& socket, uint32_t startTick, platform::FileTime roundTrip) {
    // RFC 868: the server sends four bytes as soon as the connection stands.
    uint8_t reply[kTimeReplySize] = {};
    // A reply cut short would set the clock wrong by up to 2^24 seconds.
    if (receiveLoop(socket, reply, sizeof reply, aborted_) != Received::Complete) return false;
    const platform::FileTime t4 = platform::getSystemTimeAsFileTime();
    const uint32_t seconds = readWord(reply, 0);
    if (seconds == 0) return false;
    advance(QueryStep::Converting);
    result_.replyTick = platform::getTickCount();
    result_.replyClock = t4;
    result_.serverSeconds = seconds;
    result_.responseMs = platform::getTickCount() - startTick;
    // The server cut its clock to the whole second when the connection
    // stood, half a round trip before the reply arrived: its time now is
    // that second's middle plus half the round trip, on average.
    const platform::FileTime serverNow =
        wireSecondsToFileTime(seconds) + platform::kFileTimeUnitsPerSecond / 2 + roundTrip / 2;
    result_.offsetUnits = static_cast<int64_t>(serverNow - t4);
    return true;
}

std::shared_ptr<platform::Socket> TimeQuery::openSocket(const platform::NetAddress& peer, platform::SocketKind kind) {
    std::shared_ptr<platform::Socket> socket = platform::Socket::create(kind, peer.family);
    if (!socket) return nullptr;
    {
        // An abort that came before the socket existed closes it at once.
        std::lock_guard lock(mutex_);
        socket_ = socket;
        address_ = platform::addressText(peer);
        if (aborted_.load()) socket->close();
    }
    return aborted_.load() ? nullptr : socket;
}

bool TimeQuery::sntpExchange(std::shared_ptr<platform::Socket> socket, const platform::NetAddress& peer,
                             uint32_t startTick, int waitLimitMs) {
    // Up to four requests, at least 200 ms apart, within the time the query
    // has: the replies that a queue on the path held least decide (see
    // SampleSet). A lost or late reply is skipped; one good reply is
    // enough; a kiss or a server that says it is not synchronised ends the
    // exchange.
    SampleSet taken;
    // Half the sync time-out: the exchange ends well before the query is
    // given up.
    const uint32_t sendingMs = target_.timeoutMs > 0 ? target_.timeoutMs / 2 : kSampleWaitMs * kMaxSntpSamples;
    const int samples = std::clamp(target_.sntpSamples, 1, kMaxSntpSamples);
    for (int sample = 0; sample < samples && !aborted_.load(); ++sample) {
        const uint32_t sentTick = platform::getTickCount();
        if (sample > 0) {
            // With a sample in hand, no new request once half the time-out
            // has gone; without one, up to the last, which waits as long as
            // a single request did (a silent server still times out).
            if (!taken.empty() && sentTick - startTick >= sendingMs) break;
            // Each request from a socket of its own: a late reply to an
            // earlier one can never be taken for this one's.
            socket = openSocket(peer, platform::SocketKind::Udp);
            if (!socket || !socket->connect(peer)) break;
        }
        // T1 just before the request goes, to the clock's full precision: a
        // reading cut to the millisecond would put up to half a millisecond
        // into the offset.
        const platform::FileTime t1 = platform::getSystemTimeAsFileTime();
        uint8_t request[kSntpPacketSize];
        buildSntpRequest(t1, request);
        (void)socket->send(request, sizeof request);
        const bool lastChance = sample + 1 == samples && taken.empty();
        // Until the reply to this request comes, or it is given up: a last
        // request with nothing measured yet waits as a single one did.
        bool refused = false;
        bool outside = false;
        for (;;) {
            const uint32_t waited = platform::getTickCount() - sentTick;
            if (!lastChance && waited >= kSampleWaitMs) break;
            const int limit = lastChance ? waitLimitMs : static_cast<int>(kSampleWaitMs - waited);
            socket->setWaitLimit(limit);
            const uint32_t asked = platform::getTickCount();
            uint8_t packet[kSntpPacketSize] = {};
            const long got = socket->receive(packet, sizeof packet);
            if (got < 0) {
                // A wait given up never ends early: a failure well inside
                // the limit is the server refusing (or an abort), and no
                // further request would fare better.
                const uint32_t took = platform::getTickCount() - asked;
                refused = limit < 0 || took < static_cast<uint32_t>(limit) / 2;
                break;
            }
            if (got < static_cast<long>(kSntpPacketSize)) continue;
            const platform::FileTime t4 = platform::getSystemTimeAsFileTime();
            if (step_.load() != QueryStep::Converting) advance(QueryStep::Converting);
            SntpTimestamps stamps{};
            if (!readSntpReply(packet, stamps)) {
                (void)readKissCode(packet, result_.kiss);
                return false;
            }
            const Sample sample = makeSample(t1, stamps, t4);
            taken.add(sample);
            // A time outside the date range is refused whatever its round
            // trip: asking again would only ask the same liar again.
            if (outsideDateRange(stamps.transmitSeconds)) {
                taken.only(sample);
                outside = true;
            }
            break;
        }
        if (refused || outside || sample + 1 == samples || aborted_.load()) break;
        // The next request no sooner than 200 ms after this one; what
        // arrives meanwhile is a late reply, and is passed over.
        for (uint32_t waited; (waited = platform::getTickCount() - sentTick) < kSampleSpacingMs;) {
            socket->setWaitLimit(static_cast<int>(kSampleSpacingMs - waited));
            uint8_t stray[kSntpPacketSize];
            if (socket->receive(stray, sizeof stray) < 0) {
                if (aborted_.load()) break;
                // Not a timeout: an error came at once; wait out the rest.
                const uint32_t now = platform::getTickCount() - sentTick;
                if (now < kSampleSpacingMs) platform::sleepMs(kSampleSpacingMs - now);
                break;
            }
        }
    }
    if (taken.empty() || aborted_.load()) return false;
    taken.fill(result_);
    return true;
}

bool TimeQuery::ntsExchange(uint32_t startTick) {
    // An nts:// entry is asked by NTS or not at all: never by SNTP or TIME,
    // whatever the protocol setting, so that nobody on the path can make
    // this computer take an unauthenticated time for it.
    advance(QueryStep::CreatingSocket);
    NtsServer server;
    if (!parseNtsEntry(target_.server, server)) {
        result_.failure = "not a valid nts:// entry";
        return false;
    }
    if (!platform::ntsCryptoAvailable()) {
        result_.failure = platform::kNtsUnavailable;
        return false;
    }
    // Each NTS-KE and each exchange within half the sync time-out.
    server.timeoutMs = target_.timeoutMs > 0 ? std::max<uint32_t>(target_.timeoutMs / 2, 1000) : 5000;
    const std::shared_ptr<NtsClientSlot> slot = ntsClientSlot(target_.server, server);
    // One query at a time uses a server's keys and cookies; one given up
    // still ending holds them only until its abort has taken effect.
    std::lock_guard use(slot->use);
    NtsClient& client = *slot->client;
    {
        std::lock_guard lock(mutex_);
        nts_ = &client;
        address_ = target_.server;
    }
    // Once this exchange ends, an abort of this query no longer reaches the
    // client, which a later query may be using.
    struct Release {
        TimeQuery& query;
        ~Release() {
            std::lock_guard lock(query.mutex_);
            query.nts_ = nullptr;
        }
    } release{*this};
    client.resume();
    if (aborted_.load()) return false;
    advance(QueryStep::Connecting);

    SampleSet taken;
    const uint32_t sendingMs = target_.timeoutMs > 0 ? target_.timeoutMs / 2 : kSampleWaitMs * kMaxSntpSamples;
    const int samples = std::clamp(target_.sntpSamples, 1, kMaxSntpSamples);
    for (int sample = 0; sample < samples && !aborted_.load(); ++sample) {
        const uint32_t sentTick = platform::getTickCount();
        if (sample > 0 && sentTick - startTick >= sendingMs) break;
        if (sample == 0) advance(QueryStep::WaitingForReply);
        const NtsExchange exchange = client.query();
        if (aborted_.load()) return false;
        if (!exchange.ok) {
            // An authenticated kiss is obeyed as SNTP's is.
            if (!exchange.kiss.empty() && exchange.kiss != "NTSN") {
                result_.kiss = exchange.kiss;
                return false;
            }
            // The first failure tells why (a certificate, a refusal, a
            // reply that does not verify) and ends the exchange: asking
            // again would fail the same way. A later one is a lost sample.
            if (taken.empty()) {
                result_.failure = exchange.failure;
                return false;
            }
            continue;
        }
        if (step_.load() != QueryStep::Converting) advance(QueryStep::Converting);
        const Sample measured = makeSample(exchange.t1, exchange.stamps, exchange.t4);
        taken.add(measured);
        if (outsideDateRange(exchange.stamps.transmitSeconds)) {
            taken.only(measured);
            break;
        }
        if (sample + 1 == samples) break;
        // The next request no sooner than 200 ms after this one.
        for (uint32_t waited; !aborted_.load() && (waited = platform::getTickCount() - sentTick) < kSampleSpacingMs;) {
            platform::sleepMs(std::min<uint32_t>(20, kSampleSpacingMs - waited));
        }
    }
    if (taken.empty() || aborted_.load()) return false;
    taken.fill(result_);
    return true;
}

bool TimeQuery::outsideDateRange(uint32_t serverSeconds) const {
    if (!target_.dateRangeEnabled) return false;
    // One unit of the upper word is 2^32 x 100 ns; the bounds' lower words
    // take no part.
    const uint32_t h = platform::upperWord(wireSecondsToFileTime(serverSeconds));
    return h < platform::upperWord(target_.dateRangeLow) || h > platform::upperWord(target_.dateRangeHigh);
}

std::vector<platform::NetAddress> TimeQuery::addresses() const {
    // Manual sources are IPv4 addresses as the settings record keeps them:
    // never looked up as a name.
    platform::Ipv4Address v4 = 0;
    if (target_.manual) {
        if (!platform::parseIpv4Address(target_.server, v4)) return {};
        return {platform::NetAddress::v4(v4)};
    }
    platform::NetAddress literal;
    if (platform::parseAddress(target_.server, literal)) return {literal};
    // Every address of the name, IPv6 and IPv4, in the resolver's order.
    return platform::resolveAll(target_.server);
}

bool TimeQuery::contactServer() {
    if (isNtsEntry(target_.server)) return ntsExchange(platform::getTickCount());
    advance(QueryStep::CreatingSocket);
    const std::vector<platform::NetAddress> candidates = addresses();
    if (candidates.empty() || aborted_.load()) return false;
    const uint16_t port = target_.useTime ? kTimePort : kSntpPort;
    // Each address but the last gets its share of the time-out, so a dead
    // first address of a name leaves time for the others; the last waits
    // until the query is given up.
    const int share = target_.timeoutMs > 0 && candidates.size() > 1
                          ? static_cast<int>(target_.timeoutMs / candidates.size())
                          : -1;
    for (size_t i = 0; i < candidates.size(); ++i) {
        const platform::NetAddress& address = candidates[i];
        const bool last = i + 1 == candidates.size();
        const uint32_t startTick = platform::getTickCount();
        std::shared_ptr<platform::Socket> socket =
            openSocket(address, target_.useTime ? platform::SocketKind::Tcp : platform::SocketKind::Udp);
        if (aborted_.load()) return false;
        if (!socket) continue;
        if (!last) socket->setWaitLimit(share);
        advance(QueryStep::Connecting);
        platform::NetAddress peer = address;
        peer.port = port;
        const platform::FileTime connecting = platform::getSystemTimeAsFileTime();
        if (socket->connect(peer)) {
            // For TCP the connection took one round trip.
            const platform::FileTime connected = platform::getSystemTimeAsFileTime();
            const platform::FileTime roundTrip = connected > connecting ? connected - connecting : 0;
            advance(QueryStep::WaitingForReply);
            const bool answered = target_.useTime ? timeExchange(*socket, startTick, roundTrip)
                                                  : sntpExchange(socket, peer, startTick, last ? -1 : share);
            if (answered) return true;
        }
        if (aborted_.load()) return false;
        socket->close();
    }
    return false;
}

void TimeQuery::run() {
    // Above-normal priority, so that the reply's tick and T4 are taken promptly.
    platform::raiseThreadPriority();
    step_.store(QueryStep::Started);

    const platform::SocketLibraryUse library;
    bool ok = library.ready() && contactServer();
    {
        std::lock_guard lock(mutex_);
        if (socket_) socket_->close();
        socket_.reset();
    }
    if (ok && target_.dateRangeEnabled) {
        const uint32_t h = platform::upperWord(wireSecondsToFileTime(result_.serverSeconds));
        result_.belowDateRange = h < platform::upperWord(target_.dateRangeLow);
        result_.aboveDateRange = h > platform::upperWord(target_.dateRangeHigh);
        ok = !result_.belowDateRange && !result_.aboveDateRange;
    }
    result_.accepted = ok && !aborted_.load();
    if (result_.accepted) step_.store(QueryStep::Accepted);
    finished_.store(true, std::memory_order_release);
    if (onProgress_) onProgress_();
}

platform::FileTime serverTimeAtReply(const QueryResult& reply) {
    return reply.replyClock + static_cast<platform::FileTime>(reply.offsetUnits);
}

void widenDateRange(const QueryResult& result, DateRangeWidening& done) {
    if (!settings.dateRangeAutoReset.load()) return;
    if (result.belowDateRange && !done.low) {
        settings.dateRangeLow.addToUpper(-static_cast<int32_t>(kDateRangeWidening));
        done.low = true;
    }
    if (result.aboveDateRange && !done.high) {
        settings.dateRangeHigh.addToUpper(static_cast<int32_t>(kDateRangeWidening));
        done.high = true;
    }
}

Protocol effectiveProtocol(Protocol autoChoice) {
    const Protocol configured = settings.protocol.load();
    return configured == Protocol::Auto ? autoChoice : configured;
}

}  // namespace tavrel
