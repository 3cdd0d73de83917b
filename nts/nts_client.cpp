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
}

bool NtsClient::keyExchange(std::string& failure) {
    forgetKeys();
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
        return result;
    }
    if (header.kind != SntpReplyKind::Usable) {
        result.failure = header.reason;
        return result;
    }
    const platform::FileTime t2 = ntpToFileTime(result.stamps.receiveSeconds, result.stamps.receiveFraction);
    const platform::FileTime t3 = ntpToFileTime(result.stamps.transmitSeconds, result.stamps.transmitFraction);
    result.offsetUnits = sntpOffsetUnits(t1_, t2, t3, t4);
    result.ok = true;
    return result;
}

NtsExchange NtsClient::exchange(platform::Socket& socket) {
    std::vector<uint8_t> packet;
    std::string failure;
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

NtsExchange NtsClient::query() {
    // A NAK ends the keys; one new NTS-KE and one more exchange follow it.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (aborted_.load()) return failed(kAborted);
        if (cookies_.empty()) {
            std::string failure;
            if (!keyExchange(failure)) return failed(failure);
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
