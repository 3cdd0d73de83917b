#include "nts/nts_client.h"

#include <algorithm>
#include <cstring>

namespace tavrel {
namespace {

// Leap indicator 0, version 4, mode 3 (client).
constexpr uint8_t kNtpV4ClientHeader = 0x23;
constexpr uint8_t kModeMask = 0x07;
constexpr uint8_t kModeServer = 4;
constexpr size_t kOriginate = 24;
constexpr size_t kTransmit = 40;
constexpr size_t kTimestampSize = 8;
constexpr const char* kAborted = "aborted";

std::vector<platform::NetAddress> addressesOf(const std::string& host) {
    platform::NetAddress literal;
    if (platform::parseAddress(host, literal)) return {literal};
    return platform::resolveAll(host);
}

NtsExchange failed(std::string why) {
    NtsExchange result;
    result.failure = std::move(why);
    return result;
}

}  // namespace

NtsClient::NtsClient(NtsServer server) : server_(std::move(server)) {}

void NtsClient::abort() {
    aborted_.store(true);
    std::lock_guard lock(socketMutex_);
    if (socket_) socket_->close();
}

std::shared_ptr<platform::Socket> NtsClient::openSocket(platform::SocketKind kind,
                                                       const platform::NetAddress& address) {
    std::shared_ptr<platform::Socket> socket = platform::Socket::create(kind, address.family);
    if (!socket) return nullptr;
    std::lock_guard lock(socketMutex_);
    socket_ = socket;
    // An abort that came before the socket existed closes it at once.
    if (aborted_.load()) socket->close();
    return socket;
}

void NtsClient::forgetKeys() {
    cookies_.clear();
    c2s_ = {};
    s2c_ = {};
    pending_ = false;
    nextKept_ = false;
    got_ = 0;
    expiresTick_ = 0;
    provisional_ = false;
    checkedByServer_ = false;
}

NtsKeys NtsClient::keys() const {
    NtsKeys keys;
    // Keys whose certificate only the server's own time vouched for are
    // never kept: a later start judges such a chain afresh.
    if (cookies_.empty() || provisional_ || checkedByServer_) return keys;
    keys.c2s = c2s_;
    keys.s2c = s2c_;
    keys.cookies.assign(cookies_.begin(), cookies_.end());
    keys.ntpHost = ntpHost_;
    keys.ntpPort = ntpPort_;
    keys.got = got_;
    return keys;
}

bool NtsClient::restore(NtsKeys keys, platform::FileTime now) {
    constexpr platform::FileTime kLifetime = kNtsKeysLifetimeMs * (platform::kFileTimeUnitsPerSecond / 1000);
    // A clock put back since is allowed as much as a day the other way: at
    // worst the server answers an old cookie with a NAK.
    const platform::FileTime age = now > keys.got ? now - keys.got : keys.got - now;
    if (keys.got == 0 || age >= kLifetime || keys.cookies.empty() || keys.aead != kNtsAeadAesSivCmac256 ||
        keys.ntpHost.empty() || keys.ntpPort == 0) {
        return false;
    }
    forgetKeys();
    c2s_ = keys.c2s;
    s2c_ = keys.s2c;
    for (std::vector<uint8_t>& cookie : keys.cookies) {
        if (cookies_.size() == kNtsMaxCookies) break;
        cookies_.push_back(std::move(cookie));
    }
    ntpHost_ = std::move(keys.ntpHost);
    ntpPort_ = keys.ntpPort;
    got_ = keys.got;
    // What is left of the day, whichever way the clock has moved since.
    const uint64_t left = (kLifetime - age) / (platform::kFileTimeUnitsPerSecond / 1000);
    expiresTick_ = platform::getTickCount64() + left;
    return true;
}

void NtsClient::keep() {
    unsaved_ = false;
    if (keeper_) keeper_(keys());
}

void NtsClient::keepUnsaved() {
    if (unsaved_) keep();
}

void NtsClient::keepWithoutNext() {
    if (cookies_.empty() || !keeper_) return;
    NtsKeys kept = keys();
    if (!kept.cookies.empty()) kept.cookies.erase(kept.cookies.begin());
    unsaved_ = false;
    nextKept_ = true;
    keeper_(kept);
}

void NtsClient::settleProvisional(NtsExchange& result) {
    if (!provisional_) return;
    if (!result.ok) {
        // Nothing unvouched-for is obeyed or kept: a kiss or an unusable
        // reply under these keys ends them.
        result.kiss.clear();
        forgetKeys();
        return;
    }
    // The server's time as its reply left, by the offset it measured.
    const auto serverTime =
        static_cast<platform::FileTime>(static_cast<int64_t>(result.t4) + result.offsetUnits);
    if (period_.contains(serverTime)) {
        provisional_ = false;
        checkedByServer_ = true;
        return;
    }
    forgetKeys();
    NtsExchange refused;
    refused.failure = serverTime < period_.notBefore ? "certificate not yet valid" : "certificate expired";
    result = std::move(refused);
}

bool NtsClient::keyExchange(std::string& failure, bool clockKnownGood) {
    const bool held = !cookies_.empty();
    forgetKeys();
    // Whatever happens next, the cookies held before are gone for good.
    struct Tell {
        NtsClient& client;
        bool held;
        ~Tell() {
            if (held || !client.cookies_.empty()) client.keep();
        }
    } tell{*this, held};
    const std::vector<platform::NetAddress> addresses = addressesOf(server_.host);
    if (addresses.empty()) {
        failure = "no address for " + server_.host;
        return false;
    }
    platform::TlsExchangeRequest request;
    request.host = server_.host;
    request.alpn = kNtsKeAlpn;
    request.extraCaFile = server_.extraCaFile.empty() ? platform::ntsExtraCaFile() : server_.extraCaFile;
    request.request = buildNtsKeRequest();
    request.complete = ntsKeResponseComplete;
    request.maxResponse = kNtsKeMaxResponse;
    request.exporterLabel = kNtsExporterLabel;
    request.exporterContexts = {ntsExporterContext(kNtsProtocolNtpV4, kNtsAeadAesSivCmac256, false),
                                ntsExporterContext(kNtsProtocolNtpV4, kNtsAeadAesSivCmac256, true)};
    request.exportSize = platform::kSivKeySize;
    request.clockKnownGood = clockKnownGood;

    // Every address of the name in turn, as the SNTP query tries them: one
    // that refuses the connection, resets it or stays silent goes on to the
    // next, and so does one whose server refuses, for another address may
    // be another server. Each address but the last gets its share of the
    // time-out and the last what is left, so a dead first address leaves
    // time for the others. The reason told is the first server's refusal,
    // else how the last connection failed.
    const uint64_t deadline = platform::getTickCount64() + server_.timeoutMs;
    const uint64_t share = std::max<uint64_t>(server_.timeoutMs / addresses.size(), 1);
    std::string refusal;
    std::string lost = "no connection";
    for (size_t i = 0; i < addresses.size(); ++i) {
        const uint64_t now = platform::getTickCount64();
        if (aborted_.load() || now >= deadline) break;
        const bool last = i + 1 == addresses.size();
        const uint64_t slotEnd = last ? deadline : std::min(deadline, now + share);
        std::string why;
        bool refused = false;
        if (keyExchangeAt(addresses[i], slotEnd, request, why, refused)) {
            failure.clear();
            return true;
        }
        if (refused && refusal.empty()) refusal = std::move(why);
        if (!refused) lost = std::move(why);
    }
    if (aborted_.load()) {
        failure = kAborted;
    } else if (!refusal.empty()) {
        failure = std::move(refusal);
    } else {
        failure = std::move(lost);
    }
    return false;
}

bool NtsClient::keyExchangeAt(platform::NetAddress address, uint64_t slotEnd, platform::TlsExchangeRequest& request,
                              std::string& failure, bool& refused) {
    refused = false;
    failure = "no connection";
    address.port = server_.port;
    const std::shared_ptr<platform::Socket> socket = openSocket(platform::SocketKind::Tcp, address);
    if (!socket) return false;
    auto msLeft = [slotEnd] {
        const uint64_t now = platform::getTickCount64();
        return static_cast<uint32_t>(now < slotEnd ? slotEnd - now : 1);
    };
    socket->setWaitLimit(static_cast<int>(msLeft()));
    if (!socket->connect(address)) return false;
    request.timeoutMs = msLeft();
    const platform::TlsExchangeResult tls = platform::tlsExchange(*socket, request);
    socket->close();
    if (!tls.ok) {
        failure = tls.failure;
        refused = !tls.connectionFailed;
        return false;
    }
    refused = true;
    NtsKeResponse response;
    const NtsKeParse parse = parseNtsKeResponse(tls.response, response);
    if (!parse.ok) {
        failure = parse.refusal;
        return false;
    }
    if (tls.exported.size() != 2 || tls.exported[0].size() != platform::kSivKeySize ||
        tls.exported[1].size() != platform::kSivKeySize) {
        failure = "no keys from TLS";
        return false;
    }
    std::copy(tls.exported[0].begin(), tls.exported[0].end(), c2s_.begin());
    std::copy(tls.exported[1].begin(), tls.exported[1].end(), s2c_.begin());
    cookies_.assign(response.cookies.begin(), response.cookies.end());
    // Without a server named, the NTP server is at the address that gave
    // the keys (RFC 8915, 4.1.7), not whichever address of the name comes
    // first.
    ntpHost_ = response.server.empty() ? platform::addressText(address) : response.server;
    ntpPort_ = response.port != 0 ? response.port : kSntpPort;
    got_ = platform::getSystemTimeAsFileTime();
    expiresTick_ = platform::getTickCount64() + kNtsKeysLifetimeMs;
    provisional_ = tls.provisional;
    period_ = tls.period;
    ++keyExchanges_;
    failure.clear();
    return true;
}

bool NtsClient::buildRequest(platform::FileTime t1, std::vector<uint8_t>& packet, std::string& failure) {
    packet.clear();
    if (cookies_.empty()) {
        failure = "no cookies";
        return false;
    }
    // The SNTP request's header as version 4, with T1 as the transmit
    // timestamp, which the server echoes as the origin.
    uint8_t header[kSntpPacketSize];
    buildSntpRequest(wireTimestampOf(t1), header);
    header[0] = kNtpV4ClientHeader;

    std::array<uint8_t, kNtsUidSize> uid{};
    std::array<uint8_t, kNtsNonceSize> nonce{};
    if (!platform::randomBytes(uid) || !platform::randomBytes(nonce)) {
        failure = "no random bytes";
        return false;
    }
    // Each cookie goes out once; the reply brings one back for it and one
    // for each placeholder, so that kNtsMaxCookies are in hand again.
    const std::vector<uint8_t> cookie = std::move(cookies_.front());
    cookies_.pop_front();
    // Kept without it before the request exists (unless exchange() saw to
    // that before T1): after a crash it is not sent again.
    if (!nextKept_) keep();
    nextKept_ = false;
    const size_t placeholders = kNtsMaxCookies - 1 - std::min(cookies_.size(), kNtsMaxCookies - 1);
    if (!buildNtsRequest(header, uid, cookie, placeholders, c2s_, nonce, packet)) {
        failure = "cannot build the request";
        return false;
    }
    pending_ = true;
    uid_ = uid;
    t1_ = t1;
    std::memcpy(transmit_.data(), header + kTransmit, kTimestampSize);
    return true;
}

NtsExchange NtsClient::readReply(std::span<const uint8_t> packet, platform::FileTime t4) {
    if (!pending_) return failed("no request outstanding");
    NtsReplyCheck check = checkNtsReply(packet, uid_, s2c_);
    if (check.kind == NtsReplyKind::Refused) return failed(check.refusal);
    if ((packet[0] & kModeMask) != kModeServer) return failed("not a server's reply");
    if (check.kind == NtsReplyKind::NtsNak) {
        // The cookies are no good any more: the next exchange starts with
        // a new NTS-KE.
        forgetKeys();
        keep();
        NtsExchange nak = failed("NTS NAK");
        nak.kiss = "NTSN";
        return nak;
    }
    if (std::memcmp(packet.data() + kOriginate, transmit_.data(), kTimestampSize) != 0) {
        return failed("origin does not match");
    }
    pending_ = false;
    for (std::vector<uint8_t>& cookie : check.cookies) {
        if (cookies_.size() == kNtsMaxCookies) break;
        cookies_.push_back(std::move(cookie));
        unsaved_ = true;
    }

    NtsExchange result;
    std::copy(packet.begin(), packet.begin() + kNtpHeaderSize, result.header.begin());
    result.t1 = t1_;
    result.t4 = t4;
    const SntpReplyCheck header = checkSntpReply(packet, transmit_);
    result.stamps = header.stamps;
    if (header.kind == SntpReplyKind::Kiss) {
        result.kiss = header.kiss;
        result.failure = "kiss-o'-death " + result.kiss;
        settleProvisional(result);
        return result;
    }
    if (header.kind != SntpReplyKind::Usable) {
        result.failure = header.reason;
        settleProvisional(result);
        return result;
    }
    const platform::FileTime t2 = ntpToFileTime(result.stamps.receiveSeconds, result.stamps.receiveFraction);
    const platform::FileTime t3 = ntpToFileTime(result.stamps.transmitSeconds, result.stamps.transmitFraction);
    result.offsetUnits = sntpOffsetUnits(t1_, t2, t3, t4);
    result.ok = true;
    settleProvisional(result);
    if (result.ok && checkedByServer_) result.certificateCheckedByServer = true;
    return result;
}

NtsExchange NtsClient::exchange(platform::Socket& socket) {
    std::vector<uint8_t> packet;
    std::string failure;
    // The cookie about to go leaves the kept file first: the write (and
    // its flush to the disk) must not lie between T1 and the request's
    // departure, where it would count as the way there.
    keepWithoutNext();
    // T1 just before the request is built and sent, to the clock's full
    // precision, as for SNTP.
    const platform::FileTime t1 = platform::getSystemTimeAsFileTime();
    if (!buildRequest(t1, packet, failure)) return failed(failure);
    if (socket.send(packet.data(), packet.size()) != static_cast<long>(packet.size())) {
        return failed(aborted_.load() ? kAborted : "cannot send");
    }

    // Datagrams that do not pass are ignored (a forger cannot end the
    // exchange); the last one's reason is told if nothing passes in time.
    std::string lastRefusal;
    const uint64_t deadline = platform::getTickCount64() + server_.timeoutMs;
    std::vector<uint8_t> reply(kNtsMaxPacket + 1);
    for (;;) {
        const uint64_t now = platform::getTickCount64();
        if (now >= deadline || aborted_.load()) break;
        socket.setWaitLimit(static_cast<int>(deadline - now));
        const long n = socket.receive(reply.data(), reply.size());
        const platform::FileTime t4 = platform::getSystemTimeAsFileTime();
        if (n < 0) break;
        NtsExchange result = readReply(std::span<const uint8_t>(reply.data(), static_cast<size_t>(n)), t4);
        if (result.ok || !pending_) return result;
        lastRefusal = result.failure;
    }
    if (aborted_.load()) return failed(kAborted);
    return failed(lastRefusal.empty() ? "no response" : lastRefusal);
}

NtsExchange NtsClient::query(bool clockKnownGood) {
    // Keys only the server's time vouched for are judged again once the
    // clock is known good: kept when the chain is in its period by the
    // clock, dropped when not (a new NTS-KE then refuses it).
    if (clockKnownGood && checkedByServer_) {
        if (period_.contains(platform::getSystemTimeAsFileTime())) {
            checkedByServer_ = false;
        } else {
            forgetKeys();
        }
    }
    // A NAK ends the keys; one new NTS-KE and one more exchange follow it.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (aborted_.load()) return failed(kAborted);
        if (!cookies_.empty() && platform::getTickCount64() >= expiresTick_) {
            forgetKeys();
            keep();
        }
        if (cookies_.empty()) {
            std::string failure;
            if (!keyExchange(failure, clockKnownGood)) return failed(failure);
        }
        const std::vector<platform::NetAddress> addresses = addressesOf(ntpHost_);
        if (addresses.empty()) return failed("no address for " + ntpHost_);
        platform::NetAddress address = addresses.front();
        address.port = ntpPort_;
        const std::shared_ptr<platform::Socket> socket = openSocket(platform::SocketKind::Udp, address);
        if (!socket || !socket->connect(address)) return failed(aborted_.load() ? kAborted : "no connection");
        NtsExchange result = exchange(*socket);
        socket->close();
        if (aborted_.load()) return failed(kAborted);
        if (result.kiss != "NTSN") return result;
        if (attempt == 1) return result;
    }
    return failed("NTS NAK");
}

}  // namespace tavrel
