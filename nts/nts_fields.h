// NTS's NTP extension fields (RFC 8915 section 5, laid out per RFC 7822),
// free of I/O: the client's authenticated request, and the checks a reply
// must pass (its Unique Identifier, its Authenticator under the
// server-to-client key) before its time and its new cookies count. The
// AEAD comes from platform/nts_crypto.h; random bytes are the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/nts_crypto.h"

namespace tavrel {

inline constexpr uint16_t kEfUniqueIdentifier = 0x0104;
inline constexpr uint16_t kEfNtsCookie = 0x0204;
inline constexpr uint16_t kEfCookiePlaceholder = 0x0304;
inline constexpr uint16_t kEfNtsAuthenticator = 0x0404;

inline constexpr size_t kNtpHeaderSize = 48;
inline constexpr size_t kNtsUidSize = 32;
inline constexpr size_t kNtsNonceSize = 16;
// A reply or request longer than this is no NTS packet of ours.
inline constexpr size_t kNtsMaxPacket = 4096;

// One extension field as it lies in a packet: its type and its body (the
// bytes after its four-byte header, padding included).
struct ExtensionField {
    uint16_t type = 0;
    size_t offset = 0;  // of its header in the walked bytes
    std::span<const uint8_t> body;
};

// Walks the fields that fill `bytes` whole. False when one is shorter than
// its header, not a multiple of four long, runs past the end, or there are
// more than `maxFields`.
[[nodiscard]] bool readExtensionFields(std::span<const uint8_t> bytes, std::vector<ExtensionField>& out,
                                       size_t maxFields);

// The request: `header` (48 bytes), the Unique Identifier, the cookie,
// `placeholders` Cookie Placeholders as long as the cookie, and the
// Authenticator sealing nothing under `c2s` and `nonce` with all that as
// associated data. False when an input is out of range or sealing fails.
[[nodiscard]] bool buildNtsRequest(std::span<const uint8_t> header, std::span<const uint8_t> uid,
                                   std::span<const uint8_t> cookie, size_t placeholders, const platform::SivKey& c2s,
                                   std::span<const uint8_t> nonce, std::vector<uint8_t>& packet);

enum class NtsReplyKind {
    Refused,    // not this request's authentic reply: ignore it
    Authentic,  // the Authenticator verified; the time and cookies count
    NtsNak,     // the server no longer takes the cookie (kiss "NTSN" with our identifier)
};

struct NtsReplyCheck {
    NtsReplyKind kind = NtsReplyKind::Refused;
    std::string refusal;  // for Refused: "reply not authentic", "identifier does not match", ...
    std::vector<std::vector<uint8_t>> cookies;  // new cookies from the encrypted fields
};

// Checks a reply to the request that carried `uid`: well-formed fields,
// exactly one Unique Identifier equal to `uid`, and the Authenticator, the
// last field, opening under `s2c` with everything before it as associated
// data. Cookies come only from the fields it sealed (at most
// kNtsMaxCookies, none empty).
NtsReplyCheck checkNtsReply(std::span<const uint8_t> packet, std::span<const uint8_t> uid, const platform::SivKey& s2c);

}  // namespace tavrel
