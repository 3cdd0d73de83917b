#include "engine/time_query.h"

#include "platform/thread.h"
#include "protocol/time_protocol.h"
#include "storage/settings.h"

namespace tavrel {
namespace {

constexpr int kMaxReceiveAttempts = 100;  // a further pass after this many ends the loop
constexpr uint32_t kDateRangeWidening = 1500;

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

bool TimeQuery::sntpExchange(platform::Socket& socket, uint32_t startTick) {
    // T1 just before the request goes, to the clock's full precision: a
    // reading cut to the millisecond would put up to half a millisecond
    // into the offset.
    const platform::FileTime t1 = platform::getSystemTimeAsFileTime();
    uint8_t packet[kSntpPacketSize];
    buildSntpRequest(t1, packet);
    (void)socket.send(packet, sizeof packet);

    for (size_t i = 16; i < kSntpPacketSize; ++i) packet[i] = 0;
    if (receiveLoop(socket, packet, sizeof packet, aborted_) != Received::Complete) return false;
    const platform::FileTime t4 = platform::getSystemTimeAsFileTime();
    advance(QueryStep::Converting);
    result_.replyTick = platform::getTickCount();
    result_.responseMs = result_.replyTick - startTick;

    SntpTimestamps stamps{};
    if (!readSntpReply(packet, stamps)) {
        (void)readKissCode(packet, result_.kiss);
        return false;
    }
    result_.replyClock = t4;
    result_.serverSeconds = stamps.transmitSeconds;
    const platform::FileTime t2 = ntpToFileTime(stamps.receiveSeconds, stamps.receiveFraction);
    const platform::FileTime t3 = ntpToFileTime(stamps.transmitSeconds, stamps.transmitFraction);
    result_.offsetUnits = sntpOffsetUnits(t1, t2, t3, t4);
    result_.offsetMeasured = true;
    return true;
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
            platform::Socket::create(target_.useTime ? platform::SocketKind::Tcp : platform::SocketKind::Udp,
                                     address.family);
        if (!socket) continue;
        {
            // An abort that came before the socket existed closes it at once.
            std::lock_guard lock(mutex_);
            socket_ = socket;
            address_ = platform::addressText(address);
            if (aborted_.load()) socket->close();
        }
        if (aborted_.load()) return false;
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
                                                  : sntpExchange(*socket, startTick);
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
        // One unit of the upper word is 2^32 x 100 ns; the bounds' lower
        // words take no part.
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
