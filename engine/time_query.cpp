#include "engine/time_query.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdio>
#include <optional>
#include <random>

#include "nts/nts_client_store.h"
#include "nts/nts_cookie_file.h"
#include "nts/nts_server_entry.h"
#include "platform/nts_crypto.h"
#include "platform/thread.h"
#include "protocol/time_protocol.h"
#include "storage/data_directory.h"
#include "storage/log.h"
#include "storage/settings.h"

namespace tavrel {
namespace {

constexpr uint32_t kDateRangeWidening = 1500;
// Several SNTP samples: how many at most, how far apart, how long one's
// reply is waited for before it counts as lost.
constexpr int kMaxSntpSamples = 4;
constexpr uint32_t kSampleSpacingMs = 200;
constexpr uint32_t kSampleWaitMs = 1000;
// A TIME reply: how long its four bytes may take without a time-out of the
// query's own, and how long a server that keeps the connection open after
// them is given to close it.
constexpr uint32_t kDefaultTimeReplyMs = 5000;
constexpr int kTimeCloseWaitMs = 1000;

// One SNTP or NTS sample: the four timestamps, the tick count and wire
// seconds of its reply, its round trip less the server's own time, and
// what the reply said of its server.
struct Sample {
    platform::FileTime t1, t2, t3, t4;
    uint32_t tick;
    uint32_t transmitSeconds;
    int64_t delay;
    int64_t tolerance;  // the server's precision and ours: how far honest bounds may miss
    uint8_t stratum;
    uint32_t rootDelay, rootDispersion;
    uint8_t leap;
};

// The precision byte of a reply (log2 seconds, signed) as 100-ns units,
// from a microsecond to a second.
int64_t precisionUnits(uint8_t precisionByte) {
    const int exponent = std::clamp(static_cast<int>(static_cast<int8_t>(precisionByte)), -20, 0);
    return std::max<int64_t>(1, static_cast<int64_t>(platform::kFileTimeUnitsPerSecond) >> -exponent);
}

// What a reading of this computer's clock and a little slewing between
// samples may add to a sample's bounds.
constexpr int64_t kOwnTolerance = 10'000;  // 1 ms

Sample makeSample(platform::FileTime t1, const SntpTimestamps& stamps, platform::FileTime t4, uint8_t precisionByte,
                  uint8_t stratum, uint32_t rootDelay, uint32_t rootDispersion, uint8_t leap) {
    const platform::FileTime t2 = ntpToFileTime(stamps.receiveSeconds, stamps.receiveFraction);
    const platform::FileTime t3 = ntpToFileTime(stamps.transmitSeconds, stamps.transmitFraction);
    const int64_t delay = (static_cast<int64_t>(t4) - static_cast<int64_t>(t1)) -
                          (static_cast<int64_t>(t3) - static_cast<int64_t>(t2));
    return Sample{t1,    t2, t3, t4, platform::getTickCount(), stamps.transmitSeconds, delay,
                  precisionUnits(precisionByte) + kOwnTolerance, stratum, rootDelay, rootDispersion, leap};
}

// The samples of one exchange. Every reply bounds the offset: the server's
// clock is at most T2 - T1 ahead (the request took no time) and at least
// T3 - T4 (the reply took none). Honest samples' bounds overlap, as each
// holds the true offset; a sample whose bounds miss the others' is wrong
// (a forgery, a server that stumbled) and is refused. Of the largest set
// whose bounds overlap (at least half the samples; the one with the
// shortest round trip decides between equally large ones) the tightest
// bounds are kept, and their middle is the offset: for the sample with the
// shortest round trip alone its own, which the others can only narrow.
class SampleSet {
public:
    void add(const Sample& sample) {
        if (samples_.size() < kMostSamples) samples_.push_back(sample);
    }
    // This sample alone decides (a time outside the date range).
    void only(const Sample& sample) { samples_.assign(1, sample); }
    bool empty() const { return samples_.empty(); }
    // Fills the result from the samples; false, with the reason, when too
    // few of them agree.
    bool fill(QueryResult& result) const {
        const unsigned chosen = agreeing();
        if (chosen == 0) {
            result.failure = "samples disagree with each other";
            return false;
        }
        const Sample* best = nullptr;
        const Sample* outbound = nullptr;
        const Sample* inbound = nullptr;
        for (size_t i = 0; i < samples_.size(); ++i) {
            if ((chosen & (1u << i)) == 0) continue;
            const Sample& s = samples_[i];
            if (best == nullptr || s.delay < best->delay) best = &s;
            if (outbound == nullptr || ahead(s) < ahead(*outbound)) outbound = &s;
            if (inbound == nullptr || behind(s) > behind(*inbound)) inbound = &s;
        }
        result.replyTick = best->tick;
        result.replyClock = best->t4;
        result.serverSeconds = best->transmitSeconds;
        result.offsetUnits = sntpOffsetUnits(outbound->t1, outbound->t2, inbound->t3, inbound->t4);
        result.offsetMeasured = true;
        result.offsetBoundUnits = std::max<int64_t>(0, (ahead(*outbound) - behind(*inbound)) / 2);
        result.stratum = best->stratum;
        result.leap = best->leap;
        result.rootDelay = best->rootDelay;
        result.rootDispersion = best->rootDispersion;
        // The shortest round trip, as the log gives it.
        const platform::FileTime roundTrip = best->t4 > best->t1 ? best->t4 - best->t1 : 0;
        result.responseMs = static_cast<uint32_t>(roundTrip / platform::kFileTimeUnitsPerMs);
        result.samplesTaken = static_cast<uint32_t>(samples_.size());
        result.refusedSamples.clear();
        for (size_t i = 0; i < samples_.size(); ++i) {
            if ((chosen & (1u << i)) != 0) continue;
            const Sample& s = samples_[i];
            result.refusedSamples.push_back(sntpOffsetUnits(s.t1, s.t2, s.t3, s.t4) - result.offsetUnits);
        }
        return true;
    }

private:
    static constexpr size_t kMostSamples = 4;
    static int64_t ahead(const Sample& s) { return static_cast<int64_t>(s.t2 - s.t1); }
    static int64_t behind(const Sample& s) { return static_cast<int64_t>(s.t3 - s.t4); }

    // The samples of `set` (a bit each) have a bound in common.
    bool overlap(unsigned set) const {
        int64_t low = INT64_MIN;
        int64_t high = INT64_MAX;
        for (size_t i = 0; i < samples_.size(); ++i) {
            if ((set & (1u << i)) == 0) continue;
            const Sample& s = samples_[i];
            low = std::max(low, behind(s) - s.tolerance);
            high = std::min(high, ahead(s) + s.tolerance);
        }
        return low <= high;
    }
    // The largest agreeing set as a bit mask (0: fewer than half agree).
    unsigned agreeing() const {
        const size_t n = samples_.size();
        size_t bestIndex = 0;
        for (size_t i = 1; i < n; ++i) {
            if (samples_[i].delay < samples_[bestIndex].delay) bestIndex = i;
        }
        unsigned chosen = 0;
        int chosenSize = 0;
        for (unsigned set = 1; set < (1u << n); ++set) {
            if (!overlap(set)) continue;
            const int size = std::popcount(set);
            const bool hasBest = (set & (1u << bestIndex)) != 0;
            const bool chosenHasBest = (chosen & (1u << bestIndex)) != 0;
            if (size > chosenSize || (size == chosenSize && hasBest && !chosenHasBest)) {
                chosen = set;
                chosenSize = size;
            }
        }
        return static_cast<size_t>(chosenSize) * 2 >= n ? chosen : 0;
    }

    std::vector<Sample> samples_;
};

// A random transmit timestamp for a request. Should the system's generator
// fail, one from the library's (never a predictable value such as the
// clock).
WireTimestamp requestNonce() {
    WireTimestamp nonce{};
    if (!platform::randomBytes(nonce)) {
        std::random_device device;
        for (size_t i = 0; i < nonce.size(); i += 4) {
            const uint32_t word = device();
            writeWord(nonce.data() + i, word);
        }
    }
    // An all-zero transmit is what a request without one says.
    if (std::all_of(nonce.begin(), nonce.end(), [](uint8_t b) { return b == 0; })) nonce[7] = 1;
    return nonce;
}

// This computer's addresses as a reply may name them: the one the socket
// reached the server from, and those of every interface.
std::vector<platform::NetAddress> ownAddresses(const platform::Socket& socket) {
    std::vector<platform::NetAddress> own = platform::localInterfaceAddresses();
    own.push_back(socket.localAddress());
    return own;
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
    // RFC 868: the server sends four bytes as soon as the connection stands,
    // and closes. A server that takes longer than half the sync time-out to
    // send them, or sends more, is not a TIME server to believe (each byte
    // a second late would move the reading by as much).
    const uint32_t allowedMs = target_.timeoutMs > 0 ? target_.timeoutMs / 2 : kDefaultTimeReplyMs;
    const uint32_t connectedTick = platform::getTickCount();
    auto remainingMs = [&]() -> int {
        const uint32_t spent = platform::getTickCount() - connectedTick;
        return spent >= allowedMs ? 0 : static_cast<int>(allowedMs - spent);
    };
    uint8_t reply[kTimeReplySize] = {};
    size_t got = 0;
    // The reading belongs to the first byte: the server's second was cut
    // when the connection stood, and bytes that trickle in later must not
    // move it.
    platform::FileTime t4 = 0;
    while (got < sizeof reply) {
        if (aborted_.load()) return false;
        // A server that sends nothing times out as the query does; one that
        // has begun must finish within the half.
        if (got > 0) {
            const int limit = remainingMs();
            if (limit <= 0) {
                result_.failure = "the TIME reply came too slowly";
                return false;
            }
            socket.setWaitLimit(limit);
        }
        const long n = socket.receive(reply + got, sizeof reply - got);
        // A reply cut short would set the clock wrong by up to 2^24 seconds.
        if (n <= 0) {
            if (got > 0 && n < 0 && !aborted_.load() && remainingMs() <= 0) result_.failure = "the TIME reply came too slowly";
            return false;
        }
        if (got == 0) t4 = platform::getSystemTimeAsFileTime();
        got += static_cast<size_t>(n);
    }
    const uint32_t replyTick = platform::getTickCount();
    // Then the server closes: anything more is refused. A server that
    // holds the connection open is given a short while to close it.
    socket.setWaitLimit(std::min(remainingMs(), kTimeCloseWaitMs));
    uint8_t more = 0;
    if (socket.receive(&more, 1) > 0) {
        result_.failure = "the TIME reply was longer than 4 bytes";
        return false;
    }
    const uint32_t seconds = readWord(reply, 0);
    if (seconds == 0) return false;
    advance(QueryStep::Converting);
    result_.replyTick = replyTick;
    result_.replyClock = t4;
    result_.serverSeconds = seconds;
    result_.responseMs = replyTick - startTick;
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
        // The transmit timestamp is random: only someone who saw the request
        // can answer it. T1 stays here, read just before the request goes,
        // to the clock's full precision.
        const WireTimestamp nonce = requestNonce();
        uint8_t request[kSntpPacketSize];
        buildSntpRequest(nonce, request);
        const platform::FileTime t1 = platform::getSystemTimeAsFileTime();
        (void)socket->send(request, sizeof request);
        const bool lastChance = sample + 1 == samples && taken.empty();
        // Until the reply to this request comes, or it is given up: a last
        // request with nothing measured yet waits as a single one did.
        // Datagrams that do not answer it are passed over.
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
            const platform::FileTime t4 = platform::getSystemTimeAsFileTime();
            const SntpReplyCheck check =
                checkSntpReply(std::span<const uint8_t>(packet, static_cast<size_t>(got)), nonce);
            if (check.kind == SntpReplyKind::NotAnAnswer) {
                notePassedOver(check.reason);
                continue;
            }
            if (step_.load() != QueryStep::Converting) advance(QueryStep::Converting);
            if (check.kind == SntpReplyKind::Kiss) {
                result_.kiss = check.kiss;
                return false;
            }
            if (check.kind == SntpReplyKind::Unusable) {
                // The server's own answer says its time must not be used; no
                // other answer to this request will come.
                result_.failure = check.reason;
                return false;
            }
            if (namesOwnAddress(check, ownAddresses(*socket))) {
                result_.failure = "the server's source is this computer";
                return false;
            }
            const Sample measured = makeSample(t1, check.stamps, t4, packet[3], check.stratum, check.rootDelay,
                                               check.rootDispersion, check.leap);
            taken.add(measured);
            // A time outside the date range is refused whatever its round
            // trip: asking again would only ask the same liar again.
            if (outsideDateRange(check.stamps.transmitSeconds) || outsideDateRange(check.stamps.receiveSeconds)) {
                taken.only(measured);
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
    return taken.fill(result_);
}

void TimeQuery::notePassedOver(const char* reason) {
    if (passedOver_.empty()) passedOver_ = reason;
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
    // Keys and cookies are kept in the data folder for the next start.
    const std::string cookieFile = dataDirectory().empty() ? std::string() : dataDirectory() + kNtsCookieFileName;
    const std::shared_ptr<NtsClientSlot> slot = ntsClientSlot(target_.server, server, cookieFile);
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
    // client, which a later query may be using; the cookies the replies
    // brought are kept for the next start.
    struct Release {
        TimeQuery& query;
        NtsClient& client;
        ~Release() {
            client.keepUnsaved();
            std::lock_guard lock(query.mutex_);
            query.nts_ = nullptr;
        }
    } release{*this, client};
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
        const NtsExchange exchange = client.query(target_.clockKnownGood);
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
        if (exchange.certificateCheckedByServer) result_.certificateCheckedByServer = true;
        const Sample measured = makeSample(exchange.t1, exchange.stamps, exchange.t4, exchange.header[3],
                                           exchange.header[1], readWord(exchange.header, 4), readWord(exchange.header, 8),
                                           static_cast<uint8_t>(exchange.header[0] >> 6));
        taken.add(measured);
        if (!exchange.certificateCheckedByServer && outsideDateRange(exchange.stamps.transmitSeconds)) {
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
    return taken.fill(result_);
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
            if (answered) {
                result_.peer = peer;
                result_.peerKnown = true;
                return true;
            }
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
    // The date range is the clock's own idea of the date: a reply whose
    // authenticated time vouched for its certificate, the clock being far
    // off, is not held to it.
    if (ok && target_.dateRangeEnabled && !result_.certificateCheckedByServer) {
        const uint32_t h = platform::upperWord(wireSecondsToFileTime(result_.serverSeconds));
        result_.belowDateRange = h < platform::upperWord(target_.dateRangeLow);
        result_.aboveDateRange = h > platform::upperWord(target_.dateRangeHigh);
        ok = !result_.belowDateRange && !result_.aboveDateRange;
    }
    // Replies passed over tell why nothing was taken, if nothing else does.
    if (!ok && result_.failure.empty() && result_.kiss.empty()) result_.failure = passedOver_;
    result_.accepted = ok && !aborted_.load();
    if (result_.accepted) step_.store(QueryStep::Accepted);
    finished_.store(true, std::memory_order_release);
    if (onProgress_) onProgress_();
}

platform::FileTime serverTimeAtReply(const QueryResult& reply) {
    return reply.replyClock + static_cast<platform::FileTime>(reply.offsetUnits);
}

void logRefusedSamples(const QueryResult& reply, const std::string& server) {
    if (reply.refusedSamples.empty()) return;
    std::string line = server + ": " + std::to_string(reply.refusedSamples.size()) + " of " +
                       std::to_string(reply.samplesTaken) + " samples refused, off the others by";
    for (size_t i = 0; i < reply.refusedSamples.size(); ++i) {
        char figure[40];
        std::snprintf(figure, sizeof figure, "%s %+.3f s", i == 0 ? "" : ",",
                      static_cast<double>(reply.refusedSamples[i]) / static_cast<double>(platform::kFileTimeUnitsPerSecond));
        line += figure;
    }
    logLine(line, LogLevel::Warning);
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
