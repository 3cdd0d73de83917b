// NTS's cryptography in Tavrel.exe: wolfSSL (cross-built from Debian's
// source package by tools/build-wolfssl-windows.sh) for the TLS 1.3 client,
// its exporter and AES-SIV-CMAC, since Windows' own TLS cannot be had with
// the exporter everywhere Tavrel.exe runs; CNG for random bytes and MD5.
// Certificates are checked against Windows' ROOT store.
#include "platform/nts_crypto.h"

// wolfSSL's build options first, then its headers (which bring Winsock's
// before windows.h can bring the old one).
#include <wolfssl/options.h>
#include <wolfssl/ssl.h>
#include <wolfssl/error-ssl.h>
#include <wolfssl/wolfcrypt/aes.h>
#include <wolfssl/wolfcrypt/error-crypt.h>

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/socket.h"
#include "platform/time.h"

namespace tavrel::platform {
namespace {

static_assert(AES_BLOCK_SIZE == kSivTagSize);

constexpr size_t kReadChunk = 4096;
// TLS alerts the refusals name (RFC 8446, RFC 7301).
constexpr int kAlertProtocolVersion = 70;
constexpr int kAlertNoApplicationProtocol = 120;

// wolfCrypt takes pointers even for empty inputs; an empty span may have none.
const uint8_t* bytesOf(std::span<const uint8_t> s) {
    static const uint8_t none = 0;
    return s.empty() ? &none : s.data();
}

bool libraryReady() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = wolfSSL_Init() == WOLFSSL_SUCCESS; });
    return ready;
}

// The socket as wolfSSL's transport, with the exchange's one deadline.
struct Transport {
    Socket& socket;
    uint64_t deadline = 0;
    bool timedOut = false;
    bool failed = false;
    bool closed = false;  // the peer closed the connection

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
    int fail() {
        failed = true;
        if (getTickCount64() >= deadline) timedOut = true;
        return WOLFSSL_CBIO_ERR_GENERAL;
    }
};

int receiveFromSocket(WOLFSSL*, char* data, int size, void* context) {
    auto& t = *static_cast<Transport*>(context);
    if (!t.armWait()) return t.fail();
    const long n = t.socket.receive(data, static_cast<size_t>(size));
    if (n == 0) {
        t.closed = true;
        return WOLFSSL_CBIO_ERR_CONN_CLOSE;
    }
    if (n < 0) return t.fail();
    return static_cast<int>(n);
}

int sendToSocket(WOLFSSL*, char* data, int size, void* context) {
    auto& t = *static_cast<Transport*>(context);
    if (!t.armWait()) return t.fail();
    const long n = t.socket.send(data, static_cast<size_t>(size));
    if (n < 0) return t.fail();
    return static_cast<int>(n);
}

// What the verify step concluded about the server's certificates: the
// first of their faults, 0 when there was none, and the validity period
// they share, for the caller to read against the program's clock.
struct CertificateVerdict {
    int error = 0;
    CertificatePeriod period{0, ~FileTime{0}};
    bool periodRead = false;    // at least one certificate's period was read
    bool periodUnreadable = false;
};

// A DER element's contents, walked from the front.
struct DerReader {
    const uint8_t* at = nullptr;
    size_t left = 0;

    // The next element: its tag and its contents; false when malformed.
    bool next(uint8_t& tag, DerReader& contents) {
        if (left < 2) return false;
        tag = at[0];
        size_t length = at[1];
        size_t header = 2;
        if (length & 0x80) {
            const size_t bytes = length & 0x7f;
            if (bytes == 0 || bytes > 4 || left < 2 + bytes) return false;
            length = 0;
            for (size_t i = 0; i < bytes; ++i) length = length << 8 | at[2 + i];
            header += bytes;
        }
        if (length > left - header) return false;
        contents = DerReader{at + header, length};
        at += header + length;
        left -= header + length;
        return true;
    }
};

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

// An X.509 time (UTCTime YYMMDDHHMMSSZ, GeneralizedTime YYYYMMDDHHMMSSZ)
// as a UTC FileTime; false when it is neither.
bool certificateTime(uint8_t tag, const DerReader& text, FileTime& out) {
    const size_t yearDigits = tag == 0x17 ? 2 : tag == 0x18 ? 4 : 0;
    if (yearDigits == 0 || text.left != yearDigits + 11 || text.at[text.left - 1] != 'Z') return false;
    unsigned values[6] = {};
    size_t pos = 0;
    for (size_t field = 0; field < 6; ++field) {
        const size_t digits = field == 0 ? yearDigits : 2;
        for (size_t i = 0; i < digits; ++i, ++pos) {
            const uint8_t c = text.at[pos];
            if (c < '0' || c > '9') return false;
            values[field] = values[field] * 10 + static_cast<unsigned>(c - '0');
        }
    }
    unsigned year = values[0];
    if (yearDigits == 2) year += year < 50 ? 2000 : 1900;
    if (values[1] < 1 || values[1] > 12 || values[2] < 1 || values[2] > 31 || values[3] > 23 || values[4] > 59 ||
        values[5] > 60) {
        return false;
    }
    const int64_t seconds = daysFromCivil(year, values[1], values[2]) * 86'400 +
                            int64_t{values[3]} * 3600 + int64_t{values[4]} * 60 + int64_t{values[5]};
    const int64_t units = seconds * static_cast<int64_t>(kFileTimeUnitsPerSecond);
    out = units < -static_cast<int64_t>(kFileTime1970) ? FileTime{0}
                                                        : static_cast<FileTime>(static_cast<int64_t>(kFileTime1970) + units);
    return true;
}

// Narrows `period` to a DER certificate's notBefore and notAfter; false
// when they cannot be read.
bool narrowTo(const WOLFSSL_BUFFER_INFO& der, CertificatePeriod& period) {
    if (der.buffer == nullptr) return false;
    DerReader whole{der.buffer, der.length};
    DerReader certificate, tbs, skipped, validity, from, until;
    uint8_t tag = 0;
    if (!whole.next(tag, certificate) || tag != 0x30 || !certificate.next(tag, tbs) || tag != 0x30) return false;
    // [0] version (optional), serial number, signature algorithm, issuer.
    if (!tbs.next(tag, skipped)) return false;
    if (tag == 0xa0 && !tbs.next(tag, skipped)) return false;
    if (tag != 0x02 || !tbs.next(tag, skipped) || tag != 0x30 || !tbs.next(tag, skipped) || tag != 0x30) return false;
    if (!tbs.next(tag, validity) || tag != 0x30) return false;
    uint8_t fromTag = 0, untilTag = 0;
    FileTime notBefore = 0, notAfter = 0;
    if (!validity.next(fromTag, from) || !validity.next(untilTag, until) || !certificateTime(fromTag, from, notBefore) ||
        !certificateTime(untilTag, until, notAfter)) {
        return false;
    }
    period.notBefore = std::max(period.notBefore, notBefore);
    period.notAfter = std::min(period.notAfter, notAfter);
    return true;
}

// Every certificate of the server's chain passes here, good or bad (wolfSSL
// is built with WOLFSSL_ALWAYS_VERIFY_CB), with wolfSSL's judgement of its
// signature, its validity times and, for the server's own, the host name:
// the one place where the verdict is taken. wolfSSL reads the validity
// times against the machine's clock; its date faults are set aside here,
// and each certificate's period is kept for tlsExchange to read against
// the program's clock instead.
int verifyCertificate(int preverified, WOLFSSL_X509_STORE_CTX* store) {
    auto* verdict = static_cast<CertificateVerdict*>(store->userCtx);
    if (verdict == nullptr) return preverified;
    if (store->certs != nullptr && store->error_depth >= 0 && store->error_depth < store->totalCerts) {
        if (narrowTo(store->certs[store->error_depth], verdict->period)) {
            verdict->periodRead = true;
        } else {
            verdict->periodUnreadable = true;
        }
    } else {
        verdict->periodUnreadable = true;
    }
    if (!preverified && (store->error == ASN_BEFORE_DATE_E || store->error == ASN_AFTER_DATE_E)) return 1;
    if (!preverified && verdict->error == 0) verdict->error = store->error;
    return preverified;
}

struct ContextDeleter {
    void operator()(WOLFSSL_CTX* c) const { wolfSSL_CTX_free(c); }
};
struct SessionDeleter {
    void operator()(WOLFSSL* s) const { wolfSSL_free(s); }
};

// Trusts every certificate in Windows' ROOT store for this context; a
// machine whose store cannot be read still trusts extraCaFile.
void trustSystemStore(WOLFSSL_CTX* context) {
    HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
    if (store == nullptr) return;
    PCCERT_CONTEXT certificate = nullptr;
    while ((certificate = CertEnumCertificatesInStore(store, certificate)) != nullptr) {
        if (certificate->dwCertEncodingType & X509_ASN_ENCODING) {
            // One the library cannot read is left out, not fatal.
            (void)wolfSSL_CTX_load_verify_buffer(context, certificate->pbCertEncoded,
                                                 static_cast<long>(certificate->cbCertEncoded), WOLFSSL_FILETYPE_ASN1);
        }
    }
    CertCloseStore(store, 0);
}

bool isAddressLiteral(const std::string& host) {
    NetAddress ignored;
    return parseAddress(host, ignored);
}

// Why the connection failed under the handshake, or "" when it stood: then
// the server refused.
std::string connectionFailure(const Transport& transport) {
    if (transport.timedOut) return "no response";
    if (transport.failed) return "connection lost";
    // The server closed the connection without a word, as one does to a
    // client address it does not serve.
    if (transport.closed) return "connection closed";
    return "";
}

std::string certificateRefusal(int error, const std::string& host) {
    switch (error) {
        case DOMAIN_NAME_MISMATCH: return "certificate not valid for " + host;
        case ASN_AFTER_DATE_E: return "certificate expired";
        case ASN_BEFORE_DATE_E: return "certificate not yet valid";
        case ASN_NO_SIGNER_E:
        case ASN_SELF_SIGNED_E:
        case ASN_PATHLEN_INV_E:
        case ASN_PATHLEN_SIZE_E: return "certificate not trusted";
        default: return "certificate not valid";
    }
}

// Why the server refused the handshake, as a short text for the log.
std::string handshakeRefusal(WOLFSSL* session, int error, const CertificateVerdict& verdict, const std::string& host) {
    if (verdict.error != 0) return certificateRefusal(verdict.error, host);
    if (error == DOMAIN_NAME_MISMATCH) return certificateRefusal(error, host);
    if (error == VERSION_ERROR) return "TLS 1.3 not offered";
    if (error == UNKNOWN_ALPN_PROTOCOL_NAME_E) return "ntske/1 not offered";
    if (error == FATAL_ERROR) {
        WOLFSSL_ALERT_HISTORY alerts{};
        if (wolfSSL_get_alert_history(session, &alerts) == WOLFSSL_SUCCESS) {
            const int alert = alerts.last_rx.code;
            if (alert == kAlertProtocolVersion) return "TLS 1.3 not offered";
            if (alert == kAlertNoApplicationProtocol) return "ntske/1 not offered";
            return "TLS alert: " + std::to_string(alert);
        }
    }
    // wolfSSL's codes are negative; its text function takes them cast as they are.
    return std::string("TLS handshake failed: ") + wolfSSL_ERR_reason_error_string(static_cast<unsigned long>(error));
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
    if (nonce.empty()) return false;
    std::vector<uint8_t> out(plain.size() + kSivTagSize);
    if (wc_AesSivEncrypt(key.data(), static_cast<word32>(key.size()), bytesOf(associated),
                         static_cast<word32>(associated.size()), nonce.data(), static_cast<word32>(nonce.size()),
                         bytesOf(plain), static_cast<word32>(plain.size()), out.data(),
                         out.data() + kSivTagSize) != 0) {
        return false;
    }
    sealed = std::move(out);
    return true;
}

bool sivOpen(const SivKey& key, std::span<const uint8_t> nonce, std::span<const uint8_t> associated,
             std::span<const uint8_t> sealed, std::vector<uint8_t>& plain) {
    plain.clear();
    if (nonce.empty() || sealed.size() < kSivTagSize) return false;
    // wolfCrypt reads the tag from a buffer it may write to.
    uint8_t tag[kSivTagSize];
    std::copy(sealed.begin(), sealed.begin() + kSivTagSize, tag);
    std::vector<uint8_t> out(sealed.size() - kSivTagSize);
    // Nothing is written for an empty plaintext, but somewhere is wanted.
    uint8_t spare = 0;
    if (wc_AesSivDecrypt(key.data(), static_cast<word32>(key.size()), bytesOf(associated),
                         static_cast<word32>(associated.size()), nonce.data(), static_cast<word32>(nonce.size()),
                         bytesOf(sealed.subspan(kSivTagSize)), static_cast<word32>(out.size()), tag,
                         out.empty() ? &spare : out.data()) != 0) {
        return false;
    }
    plain = std::move(out);
    return true;
}

bool randomBytes(std::span<uint8_t> out) {
    return out.empty() || BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                                                         BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool md5Digest(std::span<const uint8_t> data, std::array<uint8_t, 16>& digest) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0))) return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    // BCryptHashData takes a non-const pointer but only reads it.
    ok = ok && BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(data.data()), static_cast<ULONG>(data.size()), 0));
    ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    if (hash != nullptr) BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
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
    if (!libraryReady()) return failWith("TLS unavailable");

    // TLS 1.3 alone.
    const std::unique_ptr<WOLFSSL_CTX, ContextDeleter> context(wolfSSL_CTX_new(wolfTLSv1_3_client_method()));
    if (!context) return failWith("TLS unavailable");
    trustSystemStore(context.get());
    if (!request.extraCaFile.empty() &&
        wolfSSL_CTX_load_verify_locations(context.get(), request.extraCaFile.c_str(), nullptr) != WOLFSSL_SUCCESS) {
        return failWith("no certificates in " + request.extraCaFile);
    }
    wolfSSL_CTX_set_verify(context.get(), WOLFSSL_VERIFY_PEER, verifyCertificate);
    wolfSSL_CTX_SetIORecv(context.get(), receiveFromSocket);
    wolfSSL_CTX_SetIOSend(context.get(), sendToSocket);

    const std::unique_ptr<WOLFSSL, SessionDeleter> session(wolfSSL_new(context.get()));
    if (!session) return failWith("TLS unavailable");
    WOLFSSL* const ssl = session.get();
    // Server names are sent for names only; an address is still checked
    // against the certificate's names.
    if (!isAddressLiteral(request.host) &&
        wolfSSL_UseSNI(ssl, WOLFSSL_SNI_HOST_NAME, request.host.data(), static_cast<word16>(request.host.size())) !=
            WOLFSSL_SUCCESS) {
        return failWith("bad server name");
    }
    if (wolfSSL_check_domain_name(ssl, request.host.c_str()) != WOLFSSL_SUCCESS) return failWith("bad server name");
    std::string alpn = request.alpn;  // wolfSSL takes a mutable list
    if (wolfSSL_UseALPN(ssl, alpn.data(), static_cast<unsigned>(alpn.size()), WOLFSSL_ALPN_FAILED_ON_MISMATCH) !=
        WOLFSSL_SUCCESS) {
        return failWith("TLS unavailable");
    }
    CertificateVerdict verdict;
    wolfSSL_SetCertCbCtx(ssl, &verdict);
    // The exporter needs the handshake's secrets after it.
    wolfSSL_KeepArrays(ssl);

    Transport transport{socket, getTickCount64() + request.timeoutMs};
    wolfSSL_SetIOReadCtx(ssl, &transport);
    wolfSSL_SetIOWriteCtx(ssl, &transport);

    if (wolfSSL_connect(ssl) != WOLFSSL_SUCCESS) {
        const int error = wolfSSL_get_error(ssl, 0);
        std::string lost = connectionFailure(transport);
        // A refusal the server said (an alert) or the certificates earned
        // is the server's even when the connection went with it.
        if (!lost.empty() && verdict.error == 0 && error != FATAL_ERROR) return connectionFailed(std::move(lost));
        return failWith(handshakeRefusal(ssl, error, verdict, request.host));
    }
    if (wolfSSL_version(ssl) != TLS1_3_VERSION) return failWith("TLS 1.3 not offered");
    char* selected = nullptr;
    unsigned short selectedSize = 0;
    if (wolfSSL_ALPN_GetProtocol(ssl, &selected, &selectedSize) != WOLFSSL_SUCCESS || selected == nullptr ||
        std::string_view(selected, selectedSize) != request.alpn) {
        return failWith(request.alpn + " not offered");
    }
    // The certificates' times, read against the program's clock.
    if (verdict.error != 0) return failWith(certificateRefusal(verdict.error, request.host));
    if (!verdict.periodRead || verdict.periodUnreadable) return failWith("certificate not valid");
    result.period = verdict.period;
    if (std::string refused = judgeCertificatePeriod(request.clockKnownGood, getSystemTimeAsFileTime(), result);
        !refused.empty()) {
        return failWith(std::move(refused));
    }

    for (size_t sent = 0; sent < request.request.size();) {
        const int n = wolfSSL_write(ssl, request.request.data() + sent, static_cast<int>(request.request.size() - sent));
        if (n <= 0) return connectionFailed(transport.timedOut ? "no response" : "connection lost");
        sent += static_cast<size_t>(n);
    }

    std::vector<uint8_t>& response = result.response;
    while (!(request.complete && request.complete(response))) {
        uint8_t chunk[kReadChunk];
        const int n = wolfSSL_read(ssl, chunk, sizeof chunk);
        if (n <= 0) {
            const int error = wolfSSL_get_error(ssl, n);
            // The server may close without close_notify once it has answered.
            if (error == WOLFSSL_ERROR_ZERO_RETURN || transport.closed) break;
            return connectionFailed(transport.timedOut ? "no response" : "connection lost");
        }
        if (response.size() + static_cast<size_t>(n) > request.maxResponse) return failWith("response too long");
        response.insert(response.end(), chunk, chunk + n);
    }
    if (response.empty()) return connectionFailed("no response");

    for (const std::vector<uint8_t>& exporterContext : request.exporterContexts) {
        std::vector<uint8_t> key(request.exportSize);
        if (wolfSSL_export_keying_material(ssl, key.data(), key.size(), request.exporterLabel.data(),
                                           request.exporterLabel.size(), bytesOf(exporterContext),
                                           exporterContext.size(), 1) != WOLFSSL_SUCCESS) {
            return failWith("no keys from TLS");
        }
        result.exported.push_back(std::move(key));
    }
    wolfSSL_FreeArrays(ssl);
    // Says goodbye without waiting for the server's.
    (void)wolfSSL_shutdown(ssl);
    result.ok = true;
    return result;
}

}  // namespace tavrel::platform
