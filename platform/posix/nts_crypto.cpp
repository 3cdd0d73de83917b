// NTS's cryptography on Linux: Nettle's AES-SIV-CMAC and GnuTLS's TLS 1.3
// client, exporter and random generator.
#include "platform/nts_crypto.h"

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <memory>

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <nettle/md5.h>
#include <nettle/siv-cmac.h>

#include "platform/socket.h"
#include "platform/time.h"

namespace tavrel::platform {
namespace {

static_assert(SIV_CMAC_AES128_KEY_SIZE == kSivKeySize, "AEAD_AES_SIV_CMAC_256 is Nettle's siv_cmac_aes128");
static_assert(SIV_DIGEST_SIZE == kSivTagSize);

constexpr const char* kTls13Only = "NORMAL:-VERS-ALL:+VERS-TLS1.3";
constexpr size_t kReadChunk = 4096;

// Nettle takes pointers even for empty inputs; an empty span may have none.
const uint8_t* bytesOf(std::span<const uint8_t> s) {
    static const uint8_t none = 0;
    return s.empty() ? &none : s.data();
}

// The socket as GnuTLS's transport, with the exchange's one deadline.
struct Transport {
    Socket& socket;
    gnutls_session_t session = nullptr;
    uint64_t deadline = 0;
    bool timedOut = false;
    bool failed = false;

    // Lets the next wait last until the deadline at most; false once passed.
    bool armWait() {
        const uint64_t now = getTickCount64();
        if (now >= deadline) {
            timedOut = true;
            return false;
        }
        socket.setWaitLimit(static_cast<int>(deadline - now));
        return true;
    }
    void fail() {
        failed = true;
        if (getTickCount64() >= deadline) timedOut = true;
        gnutls_transport_set_errno(session, EIO);
    }
};

ssize_t pull(gnutls_transport_ptr_t pointer, void* data, size_t size) {
    auto& t = *static_cast<Transport*>(pointer);
    if (!t.armWait()) {
        t.fail();
        return -1;
    }
    const long n = t.socket.receive(data, size);
    if (n < 0) {
        t.fail();
        return -1;
    }
    return n;
}

ssize_t push(gnutls_transport_ptr_t pointer, const void* data, size_t size) {
    auto& t = *static_cast<Transport*>(pointer);
    if (!t.armWait()) {
        t.fail();
        return -1;
    }
    const long n = t.socket.send(data, size);
    if (n < 0) {
        t.fail();
        return -1;
    }
    return n;
}

struct SessionDeleter {
    void operator()(gnutls_session_int* s) const { gnutls_deinit(s); }
};
struct CredentialsDeleter {
    void operator()(gnutls_certificate_credentials_st* c) const { gnutls_certificate_free_credentials(c); }
};

bool isAddressLiteral(const std::string& host) {
    NetAddress ignored;
    return parseAddress(host, ignored);
}

// Why the connection failed under the handshake, or "" when it stood: then
// the server refused.
std::string connectionFailure(int error, const Transport& transport) {
    if (transport.timedOut) return "no response";
    if (transport.failed) return "connection lost";
    // The server closed the connection without a word, as one does to a
    // client address it does not serve.
    if (error == GNUTLS_E_PREMATURE_TERMINATION) return "connection closed";
    return "";
}

// Why the server refused the handshake, as a short text for the log.
std::string handshakeRefusal(gnutls_session_t session, int error, const std::string& host) {
    if (error == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR || error == GNUTLS_E_CERTIFICATE_ERROR) {
        const unsigned status = gnutls_session_get_verify_cert_status(session);
        if (status & GNUTLS_CERT_UNEXPECTED_OWNER) return "certificate not valid for " + host;
        if (status & GNUTLS_CERT_EXPIRED) return "certificate expired";
        if (status & GNUTLS_CERT_NOT_ACTIVATED) return "certificate not yet valid";
        if (status & (GNUTLS_CERT_SIGNER_NOT_FOUND | GNUTLS_CERT_SIGNER_NOT_CA)) return "certificate not trusted";
        return "certificate not valid";
    }
    if (error == GNUTLS_E_UNSUPPORTED_VERSION_PACKET) return "TLS 1.3 not offered";
    if (error == GNUTLS_E_NO_APPLICATION_PROTOCOL) return "ntske/1 not offered";
    if (error == GNUTLS_E_FATAL_ALERT_RECEIVED) {
        const gnutls_alert_description_t alert = gnutls_alert_get(session);
        if (alert == GNUTLS_A_PROTOCOL_VERSION) return "TLS 1.3 not offered";
        if (alert == GNUTLS_A_NO_APPLICATION_PROTOCOL) return "ntske/1 not offered";
        return std::string("TLS alert: ") + gnutls_alert_get_name(alert);
    }
    return std::string("TLS handshake failed: ") + gnutls_strerror(error);
}

struct CertificateDeleter {
    void operator()(gnutls_x509_crt_int* c) const { gnutls_x509_crt_deinit(c); }
};
using CertificateOwner = std::unique_ptr<gnutls_x509_crt_int, CertificateDeleter>;

// Narrows `period` to one certificate's; false when its times cannot be read.
bool narrowTo(gnutls_x509_crt_t certificate, CertificatePeriod& period) {
    const time_t from = gnutls_x509_crt_get_activation_time(certificate);
    const time_t until = gnutls_x509_crt_get_expiration_time(certificate);
    if (from == static_cast<time_t>(-1) || until == static_cast<time_t>(-1)) return false;
    auto fileTimeOf = [](time_t t) {
        const int64_t units = static_cast<int64_t>(t) * static_cast<int64_t>(kFileTimeUnitsPerSecond);
        return units < -static_cast<int64_t>(kFileTime1970) ? FileTime{0}
                                                             : static_cast<FileTime>(static_cast<int64_t>(kFileTime1970) + units);
    };
    period.notBefore = std::max(period.notBefore, fileTimeOf(from));
    period.notAfter = std::min(period.notAfter, fileTimeOf(until));
    return true;
}

// The validity period the server's chain and the authority it ends at
// share; false when a certificate cannot be read.
bool chainPeriod(gnutls_session_t session, gnutls_certificate_credentials_t credentials, CertificatePeriod& period) {
    period = CertificatePeriod{0, ~FileTime{0}};
    unsigned count = 0;
    const gnutls_datum_t* chain = gnutls_certificate_get_peers(session, &count);
    if (chain == nullptr || count == 0) return false;
    CertificateOwner last;
    for (unsigned i = 0; i < count; ++i) {
        gnutls_x509_crt_t raw = nullptr;
        if (gnutls_x509_crt_init(&raw) < 0) return false;
        CertificateOwner certificate(raw);
        if (gnutls_x509_crt_import(raw, &chain[i], GNUTLS_X509_FMT_DER) < 0 || !narrowTo(raw, period)) return false;
        last = std::move(certificate);
    }
    // The trusted authority the chain ends at, when the server did not send it.
    gnutls_x509_trust_list_t trust = nullptr;
    gnutls_certificate_get_trust_list(credentials, &trust);
    gnutls_x509_crt_t issuer = nullptr;
    if (trust != nullptr && gnutls_x509_trust_list_get_issuer(trust, last.get(), &issuer, GNUTLS_TL_GET_COPY) >= 0 &&
        issuer != nullptr) {
        const CertificateOwner root(issuer);
        if (!narrowTo(issuer, period)) return false;
    }
    return true;
}

}  // namespace

bool ntsCryptoAvailable() { return true; }

std::string ntsExtraCaFile() {
    const char* file = std::getenv(kNtsCaFileVariable);
    return file ? file : "";
}

bool sivSeal(const SivKey& key, std::span<const uint8_t> nonce, std::span<const uint8_t> associated,
             std::span<const uint8_t> plain, std::vector<uint8_t>& sealed) {
    sealed.clear();
    if (nonce.size() < SIV_MIN_NONCE_SIZE) return false;
    siv_cmac_aes128_ctx context;
    siv_cmac_aes128_set_key(&context, key.data());
    sealed.resize(plain.size() + kSivTagSize);
    siv_cmac_aes128_encrypt_message(&context, nonce.size(), nonce.data(), associated.size(), bytesOf(associated),
                                    sealed.size(), sealed.data(), bytesOf(plain));
    return true;
}

bool sivOpen(const SivKey& key, std::span<const uint8_t> nonce, std::span<const uint8_t> associated,
             std::span<const uint8_t> sealed, std::vector<uint8_t>& plain) {
    plain.clear();
    if (nonce.size() < SIV_MIN_NONCE_SIZE || sealed.size() < kSivTagSize) return false;
    siv_cmac_aes128_ctx context;
    siv_cmac_aes128_set_key(&context, key.data());
    std::vector<uint8_t> out(sealed.size() - kSivTagSize);
    // Nettle writes nothing for an empty plaintext, but wants somewhere to.
    uint8_t spare = 0;
    if (!siv_cmac_aes128_decrypt_message(&context, nonce.size(), nonce.data(), associated.size(), bytesOf(associated),
                                         out.size(), out.empty() ? &spare : out.data(), sealed.data())) {
        return false;
    }
    plain = std::move(out);
    return true;
}

bool randomBytes(std::span<uint8_t> out) {
    return out.empty() || gnutls_rnd(GNUTLS_RND_RANDOM, out.data(), out.size()) == 0;
}

bool md5Digest(std::span<const uint8_t> data, std::array<uint8_t, 16>& digest) {
    static_assert(MD5_DIGEST_SIZE == 16);
    md5_ctx context;
    md5_init(&context);
    md5_update(&context, data.size(), bytesOf(data));
    md5_digest(&context, digest.size(), digest.data());
    return true;
}

TlsExchangeResult tlsExchange(Socket& socket, const TlsExchangeRequest& request) {
    TlsExchangeResult result;
    auto failWith = [&result](std::string why) {
        result.ok = false;
        result.failure = std::move(why);
        return result;
    };
    auto connectionFailed = [&result, &failWith](std::string why) {
        result.connectionFailed = true;
        return failWith(std::move(why));
    };

    gnutls_certificate_credentials_t rawCredentials = nullptr;
    if (gnutls_certificate_allocate_credentials(&rawCredentials) < 0) return failWith("TLS unavailable");
    const std::unique_ptr<gnutls_certificate_credentials_st, CredentialsDeleter> credentials(rawCredentials);
    // A machine without a trust store still trusts extraCaFile.
    (void)gnutls_certificate_set_x509_system_trust(rawCredentials);
    if (!request.extraCaFile.empty() &&
        gnutls_certificate_set_x509_trust_file(rawCredentials, request.extraCaFile.c_str(), GNUTLS_X509_FMT_PEM) <= 0) {
        return failWith("no certificates in " + request.extraCaFile);
    }

    gnutls_session_t rawSession = nullptr;
    if (gnutls_init(&rawSession, GNUTLS_CLIENT) < 0) return failWith("TLS unavailable");
    const std::unique_ptr<gnutls_session_int, SessionDeleter> session(rawSession);
    if (gnutls_priority_set_direct(rawSession, kTls13Only, nullptr) < 0 ||
        gnutls_credentials_set(rawSession, GNUTLS_CRD_CERTIFICATE, rawCredentials) < 0) {
        return failWith("TLS unavailable");
    }
    // Server names are sent for names only; an address is still checked
    // against the certificate's addresses.
    if (!isAddressLiteral(request.host) &&
        gnutls_server_name_set(rawSession, GNUTLS_NAME_DNS, request.host.data(), request.host.size()) < 0) {
        return failWith("bad server name");
    }
    // The library checks everything but the certificates' times, which it
    // would read from the machine's clock; they are checked below against
    // the program's.
    gnutls_session_set_verify_cert(rawSession, request.host.c_str(),
                                   GNUTLS_VERIFY_DISABLE_TIME_CHECKS | GNUTLS_VERIFY_DISABLE_TRUSTED_TIME_CHECKS);
    gnutls_datum_t alpn{reinterpret_cast<unsigned char*>(const_cast<char*>(request.alpn.data())),
                        static_cast<unsigned>(request.alpn.size())};
    if (gnutls_alpn_set_protocols(rawSession, &alpn, 1, GNUTLS_ALPN_MANDATORY) < 0) return failWith("TLS unavailable");

    Transport transport{socket, rawSession, getTickCount64() + request.timeoutMs};
    gnutls_transport_set_ptr(rawSession, &transport);
    gnutls_transport_set_push_function(rawSession, push);
    gnutls_transport_set_pull_function(rawSession, pull);

    int rc;
    do {
        rc = gnutls_handshake(rawSession);
    } while (rc < 0 && !gnutls_error_is_fatal(rc) && !transport.failed);
    if (rc < 0) {
        std::string lost = connectionFailure(rc, transport);
        if (!lost.empty()) return connectionFailed(std::move(lost));
        return failWith(handshakeRefusal(rawSession, rc, request.host));
    }
    if (gnutls_protocol_get_version(rawSession) != GNUTLS_TLS1_3) return failWith("TLS 1.3 not offered");
    gnutls_datum_t selected{};
    if (gnutls_alpn_get_selected_protocol(rawSession, &selected) < 0 || selected.size != request.alpn.size() ||
        std::string_view(reinterpret_cast<const char*>(selected.data), selected.size) != request.alpn) {
        return failWith(request.alpn + " not offered");
    }
    if (!chainPeriod(rawSession, rawCredentials, result.period)) return failWith("certificate not valid");
    if (std::string refused = judgeCertificatePeriod(request.clockKnownGood, getSystemTimeAsFileTime(), result);
        !refused.empty()) {
        return failWith(std::move(refused));
    }

    for (size_t sent = 0; sent < request.request.size();) {
        const ssize_t n = gnutls_record_send(rawSession, request.request.data() + sent, request.request.size() - sent);
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
        if (n <= 0) return connectionFailed(transport.timedOut ? "no response" : "connection lost");
        sent += static_cast<size_t>(n);
    }

    std::vector<uint8_t>& response = result.response;
    while (!(request.complete && request.complete(response))) {
        uint8_t chunk[kReadChunk];
        const ssize_t n = gnutls_record_recv(rawSession, chunk, sizeof chunk);
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
        // The server may close without close_notify once it has answered.
        if (n == 0 || n == GNUTLS_E_PREMATURE_TERMINATION) break;
        if (n < 0) return connectionFailed(transport.timedOut ? "no response" : "connection lost");
        if (response.size() + static_cast<size_t>(n) > request.maxResponse) return failWith("response too long");
        response.insert(response.end(), chunk, chunk + n);
    }
    if (response.empty()) return connectionFailed("no response");

    for (const std::vector<uint8_t>& context : request.exporterContexts) {
        std::vector<uint8_t> key(request.exportSize);
        if (gnutls_prf_rfc5705(rawSession, request.exporterLabel.size(), request.exporterLabel.data(), context.size(),
                               reinterpret_cast<const char*>(context.data()), key.size(),
                               reinterpret_cast<char*>(key.data())) < 0) {
            return failWith("no keys from TLS");
        }
        result.exported.push_back(std::move(key));
    }
    // Says goodbye without waiting for the server's.
    (void)gnutls_bye(rawSession, GNUTLS_SHUT_WR);
    result.ok = true;
    return result;
}

}  // namespace tavrel::platform
