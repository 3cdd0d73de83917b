#include "tests/support/fake_nts_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>

namespace tavrel::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kEndOfMessage = 0;
constexpr uint16_t kNextProtocol = 1;
constexpr uint16_t kAead = 4;
constexpr uint16_t kNewCookie = 5;
constexpr uint16_t kServer = 6;
constexpr uint16_t kPort = 7;
constexpr uint16_t kCritical = 0x8000;
constexpr uint16_t kAesSivCmac256 = 15;
constexpr uint16_t kUniqueIdentifier = 0x0104;
constexpr uint16_t kCookie = 0x0204;
constexpr uint16_t kPlaceholder = 0x0304;
constexpr uint16_t kAuthenticator = 0x0404;
constexpr size_t kHeader = 48;
constexpr size_t kCookieSize = 72;
constexpr int kWaitMs = 10'000;

void putWord(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}
uint16_t wordAt(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void record(Bytes& out, uint16_t type, const Bytes& body) {
    putWord(out, type);
    putWord(out, static_cast<uint16_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
}

void field(Bytes& out, uint16_t type, const Bytes& body) {
    Bytes padded = body;
    padded.resize((padded.size() + 3) & ~size_t{3}, 0);
    putWord(out, type);
    putWord(out, static_cast<uint16_t>(padded.size() + 4));
    out.insert(out.end(), padded.begin(), padded.end());
}

// The NTS-KE request is whole once its End of Message record has come.
bool requestComplete(const Bytes& in) {
    size_t at = 0;
    while (at + 4 <= in.size()) {
        const uint16_t type = static_cast<uint16_t>(wordAt(&in[at]) & ~kCritical);
        const size_t length = wordAt(&in[at + 2]);
        if (at + 4 + length > in.size()) return false;
        if (type == kEndOfMessage) return true;
        at += 4 + length;
    }
    return false;
}

// The exporter's context: NTPv4 (0), AES-SIV-CMAC-256, then the direction.
Bytes exporterContext(bool serverToClient) {
    return Bytes{0, 0, 0, static_cast<uint8_t>(kAesSivCmac256), static_cast<uint8_t>(serverToClient ? 1 : 0)};
}

bool exportKey(gnutls_session_t session, bool serverToClient, platform::SivKey& key) {
    static const char kLabel[] = "EXPORTER-network-time-security";
    const Bytes context = exporterContext(serverToClient);
    return gnutls_prf_rfc5705(session, sizeof kLabel - 1, kLabel, context.size(),
                              reinterpret_cast<const char*>(context.data()), key.size(),
                              reinterpret_cast<char*>(key.data())) == GNUTLS_E_SUCCESS;
}

// Now as an NTP timestamp (seconds since 1900, 32-bit fraction).
void putNtpNow(uint8_t* at) {
    const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    const uint64_t ns = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count());
    const uint64_t seconds = ns / 1'000'000'000u + 2'208'988'800u;
    const uint64_t fraction = ((ns % 1'000'000'000u) << 32) / 1'000'000'000u;
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(seconds >> (24 - 8 * i));
    for (int i = 0; i < 4; ++i) at[4 + i] = static_cast<uint8_t>(fraction >> (24 - 8 * i));
}

int boundSocket(int type, uint16_t& port) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof sa;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 8) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(sa.sin_port);
    return fd;
}

// Waits for `fd` to be readable or the stop pipe to be written; false on stop.
bool readable(int fd, int stop) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) return false;
        if (fds[1].revents != 0) return false;
        if (fds[0].revents != 0) return true;
    }
}

}  // namespace

FakeNtsServer::FakeNtsServer(int64_t validFromSeconds, int64_t validUntilSeconds) {
    caFile_ = dir_.file("fake-nts.pem");
    gnutls_x509_privkey_t key = nullptr;
    gnutls_x509_crt_t crt = nullptr;
    gnutls_certificate_credentials_t credentials = nullptr;
    if (gnutls_x509_privkey_init(&key) != 0 ||
        gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA, GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0) != 0 ||
        gnutls_x509_crt_init(&crt) != 0) {
        return;
    }
    key_ = key;
    certificate_ = crt;
    const time_t now = std::time(nullptr);
    const unsigned char serial[] = {0x01, 0x23};
    const char* error = nullptr;
    if (gnutls_x509_crt_set_version(crt, 3) != 0 || gnutls_x509_crt_set_serial(crt, serial, sizeof serial) != 0 ||
        gnutls_x509_crt_set_activation_time(crt, now + static_cast<time_t>(validFromSeconds)) != 0 ||
        gnutls_x509_crt_set_expiration_time(crt, now + static_cast<time_t>(validUntilSeconds)) != 0 ||
        gnutls_x509_crt_set_dn(crt, "CN=localhost", &error) != 0 ||
        gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_DNSNAME, "localhost", 9, GNUTLS_FSAN_SET) != 0 ||
        gnutls_x509_crt_set_key(crt, key) != 0 ||
        gnutls_x509_crt_set_key_usage(crt, GNUTLS_KEY_DIGITAL_SIGNATURE) != 0 ||
        gnutls_x509_crt_set_key_purpose_oid(crt, GNUTLS_KP_TLS_WWW_SERVER, 0) != 0 ||
        gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0) != 0) {
        return;
    }
    gnutls_datum_t pem{};
    if (gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &pem) != 0) return;
    writeFile(caFile_, std::string(reinterpret_cast<const char*>(pem.data), pem.size));
    gnutls_free(pem.data);
    if (gnutls_certificate_allocate_credentials(&credentials) != 0) return;
    credentials_ = credentials;
    if (gnutls_certificate_set_x509_key(credentials, &crt, 1, key) != 0) return;

    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) return;
    keListener_ = boundSocket(SOCK_STREAM, kePort_);
    ntpSocket_ = boundSocket(SOCK_DGRAM, ntpPort_);
    if (keListener_ < 0 || ntpSocket_ < 0) return;
    keThread_ = std::thread([this] { serveKeyExchanges(); });
    ntpThread_ = std::thread([this] { serveNtp(); });
    ok_ = true;
}

FakeNtsServer::~FakeNtsServer() {
    if (stopPipe_[1] >= 0) (void)!::write(stopPipe_[1], "x", 1);
    if (keThread_.joinable()) keThread_.join();
    if (ntpThread_.joinable()) ntpThread_.join();
    for (int fd : {keListener_, ntpSocket_, stopPipe_[0], stopPipe_[1]}) {
        if (fd >= 0) ::close(fd);
    }
    if (credentials_ != nullptr) gnutls_certificate_free_credentials(static_cast<gnutls_certificate_credentials_t>(credentials_));
    if (certificate_ != nullptr) gnutls_x509_crt_deinit(static_cast<gnutls_x509_crt_t>(certificate_));
    if (key_ != nullptr) gnutls_x509_privkey_deinit(static_cast<gnutls_x509_privkey_t>(key_));
}

size_t FakeNtsServer::keyExchanges() const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(exchanges_);
}

std::vector<FakeNtsServer::Request> FakeNtsServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<uint8_t> FakeNtsServer::newCookie(const Keys& keys) {
    Bytes cookie(kCookieSize);
    if (!platform::randomBytes(cookie)) return {};
    issued_[cookie] = keys;
    return cookie;
}

void FakeNtsServer::serveKeyExchanges() {
    while (readable(keListener_, stopPipe_[0])) {
        const int fd = ::accept4(keListener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        serveKeyExchange(fd);
        ::close(fd);
    }
}

void FakeNtsServer::serveKeyExchange(int fd) {
    gnutls_session_t session = nullptr;
    if (gnutls_init(&session, GNUTLS_SERVER) != 0) return;
    struct Ender {
        gnutls_session_t s;
        ~Ender() { gnutls_deinit(s); }
    } ender{session};
    gnutls_datum_t alpn{reinterpret_cast<unsigned char*>(const_cast<char*>("ntske/1")), 7};
    if (gnutls_priority_set_direct(session, "NORMAL:-VERS-ALL:+VERS-TLS1.3", nullptr) != 0 ||
        gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials_) != 0 ||
        gnutls_alpn_set_protocols(session, &alpn, 1, GNUTLS_ALPN_MANDATORY) != 0) {
        return;
    }
    gnutls_transport_set_int(session, fd);
    gnutls_handshake_set_timeout(session, kWaitMs);
    gnutls_record_set_timeout(session, kWaitMs);
    int result = 0;
    do {
        result = gnutls_handshake(session);
    } while (result < 0 && gnutls_error_is_fatal(result) == 0);
    if (result < 0) return;

    Bytes in;
    while (!requestComplete(in)) {
        uint8_t buffer[1024];
        const ssize_t n = gnutls_record_recv(session, buffer, sizeof buffer);
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
        if (n <= 0) return;
        in.insert(in.end(), buffer, buffer + n);
    }
    Keys keys;
    if (!exportKey(session, false, keys.c2s) || !exportKey(session, true, keys.s2c)) return;

    Bytes out;
    record(out, kCritical | kNextProtocol, Bytes{0, 0});
    record(out, kCritical | kAead, Bytes{0, static_cast<uint8_t>(kAesSivCmac256)});
    const std::string host = "127.0.0.1";
    record(out, kServer, Bytes(host.begin(), host.end()));
    record(out, kPort, Bytes{static_cast<uint8_t>(ntpPort_ >> 8), static_cast<uint8_t>(ntpPort_)});
    {
        std::lock_guard lock(mutex_);
        keys.exchange = exchanges_++;
        for (int i = 0; i < 8; ++i) record(out, kNewCookie, newCookie(keys));
    }
    record(out, kCritical | kEndOfMessage, Bytes{});
    size_t sent = 0;
    while (sent < out.size()) {
        const ssize_t n = gnutls_record_send(session, out.data() + sent, out.size() - sent);
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
    (void)gnutls_bye(session, GNUTLS_SHUT_WR);
}

void FakeNtsServer::serveNtp() {
    while (readable(ntpSocket_, stopPipe_[0])) {
        uint8_t buffer[4096];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(ntpSocket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < static_cast<ssize_t>(kHeader)) continue;
        const Bytes packet(buffer, buffer + n);

        Request request;
        Bytes uid;
        size_t authenticatorAt = 0;
        Bytes nonce, sealed;
        for (size_t at = kHeader; at + 4 <= packet.size();) {
            const uint16_t type = wordAt(&packet[at]);
            const size_t length = wordAt(&packet[at + 2]);
            if (length < 4 || at + length > packet.size()) break;
            const Bytes body(packet.begin() + static_cast<long>(at + 4), packet.begin() + static_cast<long>(at + length));
            if (type == kUniqueIdentifier) uid = body;
            if (type == kCookie) request.cookie = body;
            if (type == kPlaceholder) ++request.placeholders;
            if (type == kAuthenticator && body.size() >= 4) {
                authenticatorAt = at;
                const size_t nonceLength = wordAt(&body[0]);
                const size_t sealedLength = wordAt(&body[2]);
                if (4 + nonceLength + sealedLength <= body.size()) {
                    nonce.assign(body.begin() + 4, body.begin() + static_cast<long>(4 + nonceLength));
                    sealed.assign(body.begin() + static_cast<long>(4 + nonceLength),
                                  body.begin() + static_cast<long>(4 + nonceLength + sealedLength));
                }
            }
            at += length;
        }

        Keys keys;
        {
            std::lock_guard lock(mutex_);
            const auto found = issued_.find(request.cookie);
            if (found != issued_.end()) {
                keys = found->second;
                request.keyExchange = keys.exchange;
                Bytes plain;
                const Bytes associated(packet.begin(), packet.begin() + static_cast<long>(authenticatorAt));
                request.authentic = authenticatorAt != 0 && platform::sivOpen(keys.c2s, nonce, associated, sealed, plain);
            }
            const Answer answer = answer_.load();
            request.naked = answer == Answer::Nak || answer == Answer::NakOnce || request.keyExchange < 0;
            if (answer == Answer::NakOnce) answer_.store(Answer::Time);
        }

        Bytes reply(kHeader, 0);
        reply[0] = 0x24;  // version 4, server
        std::memcpy(&reply[24], &packet[40], 8);  // the request's transmit time as origin
        if (request.naked) {
            std::memcpy(&reply[12], "NTSN", 4);  // stratum 0
            field(reply, kUniqueIdentifier, uid);
        } else {
            reply[1] = 1;
            reply[2] = packet[2];
            reply[3] = static_cast<uint8_t>(-20);
            std::memcpy(&reply[12], "FAKE", 4);
            putNtpNow(&reply[16]);
            putNtpNow(&reply[32]);
            putNtpNow(&reply[40]);
            field(reply, kUniqueIdentifier, uid);
            Bytes inner;
            if (answer_.load() != Answer::TimeWithoutCookies) {
                std::lock_guard lock(mutex_);
                for (size_t i = 0; i < 1 + request.placeholders; ++i) field(inner, kCookie, newCookie(keys));
            }
            Bytes replyNonce(16);
            Bytes replySealed;
            if (!platform::randomBytes(replyNonce) || !platform::sivSeal(keys.s2c, replyNonce, reply, inner, replySealed)) {
                continue;
            }
            Bytes body;
            putWord(body, static_cast<uint16_t>(replyNonce.size()));
            putWord(body, static_cast<uint16_t>(replySealed.size()));
            body.insert(body.end(), replyNonce.begin(), replyNonce.end());
            body.insert(body.end(), replySealed.begin(), replySealed.end());
            field(reply, kAuthenticator, body);
        }
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        (void)::sendto(ntpSocket_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
    }
}

}  // namespace tavrel::test
