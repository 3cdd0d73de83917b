// The cryptography Network Time Security needs, from well-kept libraries
// (on Linux GnuTLS for TLS 1.3 and its exporter, Nettle for AES-SIV-CMAC;
// in Tavrel.exe wolfSSL built from Debian's sources): the AEAD that seals
// and opens NTP extension fields, random bytes, and one NTS-KE conversation
// over TLS. Nothing here knows NTS's records; the callers in nts/ build and
// read them. A backend that has no cryptography fails every call with
// kNtsUnavailable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/socket.h"
#include "platform/time.h"

namespace tavrel::platform {

// What a backend without NTS says instead of doing anything.
inline constexpr const char* kNtsUnavailable = "NTS is not available in Tavrel.exe";

// AEAD_AES_SIV_CMAC_256 (RFC 5297): a 32-byte key (two AES-128 keys), a
// 16-byte synthetic IV in front of the ciphertext.
inline constexpr size_t kSivKeySize = 32;
inline constexpr size_t kSivTagSize = 16;
using SivKey = std::array<uint8_t, kSivKeySize>;

// True when this backend has the cryptography.
bool ntsCryptoAvailable();

// A file of further trusted authorities (PEM) for private networks and
// tests, named by the environment variable TAVREL_NTS_CA_FILE; "" when unset.
inline constexpr const char* kNtsCaFileVariable = "TAVREL_NTS_CA_FILE";
std::string ntsExtraCaFile();

// Seals `plain` under `key`, `nonce` (at least one byte) and the associated
// data: the tag and then the ciphertext, plain.size() + kSivTagSize bytes.
[[nodiscard]] bool sivSeal(const SivKey& key, std::span<const uint8_t> nonce, std::span<const uint8_t> associated,
                           std::span<const uint8_t> plain, std::vector<uint8_t>& sealed);
// Opens what sivSeal made; false (and `plain` empty) when it does not
// verify under these key, nonce and associated data.
[[nodiscard]] bool sivOpen(const SivKey& key, std::span<const uint8_t> nonce, std::span<const uint8_t> associated,
                           std::span<const uint8_t> sealed, std::vector<uint8_t>& plain);

// Fills `out` from the system's cryptographic random generator (every
// backend has one, NTS or not).
[[nodiscard]] bool randomBytes(std::span<uint8_t> out);

// The MD5 digest of `data`: not for secrecy, but NTP names an IPv6
// reference by the first four bytes of its address's digest.
[[nodiscard]] bool md5Digest(std::span<const uint8_t> data, std::array<uint8_t, 16>& digest);

// One request and its response over TLS on a connected TCP socket.
struct TlsExchangeRequest {
    std::string host;                 // server name sent and checked against the certificate
    std::string alpn;                 // the one application protocol offered and required
    std::string extraCaFile;          // PEM authorities trusted beside the system's store ("" none)
    std::vector<uint8_t> request;     // sent once the handshake has succeeded
    // Whether the bytes received so far are a whole response; reading stops
    // then (or when the peer closes).
    std::function<bool(std::span<const uint8_t>)> complete;
    size_t maxResponse = 0;           // more than this is refused
    uint32_t timeoutMs = 0;           // for the whole exchange, handshake included
    // Keys exported from the session after the response (RFC 5705):
    // one of `exportSize` bytes per context, under one label.
    std::string exporterLabel;
    std::vector<std::vector<uint8_t>> exporterContexts;
    size_t exportSize = 0;
    // The program's clock counts as synchronised. When it does not, a chain
    // that fails on its certificates' validity periods alone (every other
    // check passed) is let through provisionally, for the caller to check
    // those periods against the server's authenticated time.
    bool clockKnownGood = true;
};

// The validity period every certificate of the server's chain shares: the
// latest notBefore and the earliest notAfter (UTC).
struct CertificatePeriod {
    FileTime notBefore = 0;
    FileTime notAfter = 0;
    bool contains(FileTime t) const { return t >= notBefore && t <= notAfter; }
};

struct TlsExchangeResult {
    bool ok = false;
    // Why it failed, short enough for a log line ("TLS 1.3 not offered",
    // "certificate not valid for time.example.org", "no response", ...).
    std::string failure;
    // The failure was the connection's (closed, reset or silent) rather than
    // the server's refusal: another address of the server may do better.
    bool connectionFailed = false;
    std::vector<uint8_t> response;
    std::vector<std::vector<uint8_t>> exported;  // one per exporterContexts entry
    // The chain passed every check but its validity period against this
    // computer's clock, which is not known good (clockKnownGood false): the
    // exchange went on, and `provisionalFailure` is what would have refused
    // it ("certificate expired", "certificate not yet valid").
    bool provisional = false;
    std::string provisionalFailure;
    CertificatePeriod period;  // the chain's, whenever the handshake passed
};

// Judges the chain's period (result.period) at `now`, the program's clock:
// empty when the exchange may go on, inside the period or let through
// provisionally on a clock not known good (result.provisional and its
// failure set); else the refusal ("certificate not yet valid",
// "certificate expired"). Shared by every backend.
inline std::string judgeCertificatePeriod(bool clockKnownGood, FileTime now, TlsExchangeResult& result) {
    if (result.period.contains(now)) return {};
    std::string why = now < result.period.notBefore ? "certificate not yet valid" : "certificate expired";
    if (clockKnownGood) return why;
    result.provisional = true;
    result.provisionalFailure = std::move(why);
    return {};
}

// Runs a TLS 1.3 client on `socket` (connected already): TLS 1.3 only, the
// certificate checked against the system's trust store (plus extraCaFile)
// and the host name, the ALPN protocol required. Certificate times are read
// against getSystemTimeAsFileTime(), the program's clock. Closing the socket from
// another thread ends it at once with a failure.
TlsExchangeResult tlsExchange(Socket& socket, const TlsExchangeRequest& request);

}  // namespace tavrel::platform
