#include "engine/time_query.h"

#include <algorithm>
#include <optional>

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
    // has: the reply with the shortest round trip is kept, as the one a
    // queue on the path held least (and so skewed least). A lost or late
    // reply is skipped; one good reply is enough; a kiss or a server that
    // says it is not synchronised ends the exchange.
    struct Sample {
        platform::FileTime t1, t2, t3, t4;
        uint32_t tick;
        uint32_t transmitSeconds;
        int64_t delay;
    };
    std::optional<Sample> best;
    // Every reply bounds the offset: the server's clock is at most T2 - T1
    // ahead (the request took no time) and at least T3 - T4 (the reply took
    // none). The tightest bounds of all the samples are kept; their middle
    // is the offset, which for the sample with the shortest round trip alone
    // is its own, and which the other samples can only narrow.
    std::optional<Sample> outbound;  // the smallest T2 - T1
    std::optional<Sample> inbound;   // the largest T3 - T4
    auto ahead = [](const Sample& s) { return static_cast<int64_t>(s.t2 - s.t1); };
    auto behind = [](const Sample& s) { return static_cast<int64_t>(s.t3 - s.t4); };
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
            if (best && sentTick - startTick >= sendingMs) break;
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
        const bool lastChance = sample + 1 == samples && !best;
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
            const platform::FileTime t2 = ntpToFileTime(stamps.receiveSeconds, stamps.receiveFraction);
            const platform::FileTime t3 = ntpToFileTime(stamps.transmitSeconds, stamps.transmitFraction);
            const int64_t delay = (static_cast<int64_t>(t4) - static_cast<int64_t>(t1)) -
                                  (static_cast<int64_t>(t3) - static_cast<int64_t>(t2));
            const Sample sample{t1, t2, t3, t4, platform::getTickCount(), stamps.transmitSeconds, delay};
            if (!best || delay < best->delay) best = sample;
            if (!outbound || ahead(sample) < ahead(*outbound)) outbound = sample;
            if (!inbound || behind(sample) > behind(*inbound)) inbound = sample;
            // A time outside the date range is refused whatever its round
            // trip: asking again would only ask the same liar again.
            if (outsideDateRange(stamps.transmitSeconds)) {
                best = outbound = inbound = sample;
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
    if (!best || aborted_.load()) return false;
    result_.replyTick = best->tick;
    result_.replyClock = best->t4;
    result_.serverSeconds = best->transmitSeconds;
    result_.offsetUnits = sntpOffsetUnits(outbound->t1, outbound->t2, inbound->t3, inbound->t4);
    result_.offsetMeasured = true;
    // The round trip of the sample used, as the log gives it.
    const platform::FileTime roundTrip = best->t4 > best->t1 ? best->t4 - best->t1 : 0;
    result_.responseMs = static_cast<uint32_t>(roundTrip / platform::kFileTimeUnitsPerMs);
    (void)startTick;
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
