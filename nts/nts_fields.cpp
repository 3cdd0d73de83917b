#include "nts/nts_fields.h"

#include <algorithm>

#include "nts/nts_ke_records.h"
#include "nts/nts_wire.h"

namespace tavrel {
namespace {

constexpr size_t kFieldHeader = 4;
// RFC 7822: a field is at least 16 bytes long.
constexpr size_t kMinFieldSize = 16;
constexpr size_t kMaxFields = 64;
constexpr uint8_t kKissStratum = 0;
constexpr size_t kReferenceId = 12;
constexpr uint8_t kNtsNakCode[4] = {'N', 'T', 'S', 'N'};

size_t padded4(size_t n) { return (n + 3) & ~size_t{3}; }

// Appends a field with `body`, zero-padded to a multiple of four and to
// the least field size.
void appendField(std::vector<uint8_t>& out, uint16_t type, std::span<const uint8_t> body) {
    const size_t length = std::max(kMinFieldSize, padded4(kFieldHeader + body.size()));
    appendWord16(out, type);
    appendWord16(out, length);
    out.insert(out.end(), body.begin(), body.end());
    out.resize(out.size() + length - kFieldHeader - body.size(), 0);
}

NtsReplyCheck refuse(std::string why) {
    NtsReplyCheck check;
    check.refusal = std::move(why);
    return check;
}

bool sameBytes(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace

bool readExtensionFields(std::span<const uint8_t> bytes, std::vector<ExtensionField>& out, size_t maxFields) {
    out.clear();
    size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < kFieldHeader || out.size() == maxFields) return false;
        const size_t length = readWord16(bytes, at + 2);
        if (length < kFieldHeader || length % 4 != 0 || length > bytes.size() - at) return false;
        const std::span<const uint8_t> body = bytes.subspan(at + kFieldHeader, length - kFieldHeader);
        out.push_back(ExtensionField{readWord16(bytes, at), at, body});
        at += length;
    }
    return true;
}

bool buildNtsRequest(std::span<const uint8_t> header, std::span<const uint8_t> uid, std::span<const uint8_t> cookie,
                     size_t placeholders, const platform::SivKey& c2s, std::span<const uint8_t> nonce,
                     std::vector<uint8_t>& packet) {
    packet.clear();
    if (header.size() != kNtpHeaderSize || uid.size() < kNtsUidSize || cookie.empty() ||
        cookie.size() > kNtsMaxCookieSize || placeholders >= kNtsMaxCookies || nonce.empty() ||
        nonce.size() > kNtsNonceSize * 4) {
        return false;
    }
    packet.assign(header.begin(), header.end());
    appendField(packet, kEfUniqueIdentifier, uid);
    appendField(packet, kEfNtsCookie, cookie);
    const std::vector<uint8_t> blank(cookie.size(), 0);
    for (size_t i = 0; i < placeholders; ++i) appendField(packet, kEfCookiePlaceholder, blank);

    // Nothing to encrypt: the Authenticator only vouches for what precedes it.
    std::vector<uint8_t> sealed;
    if (!platform::sivSeal(c2s, nonce, packet, {}, sealed)) {
        packet.clear();
        return false;
    }
    std::vector<uint8_t> body;
    appendWord16(body, nonce.size());
    appendWord16(body, sealed.size());
    body.insert(body.end(), nonce.begin(), nonce.end());
    body.resize(padded4(body.size()), 0);
    body.insert(body.end(), sealed.begin(), sealed.end());
    body.resize(padded4(body.size()), 0);
    appendField(packet, kEfNtsAuthenticator, body);
    return true;
}

NtsReplyCheck checkNtsReply(std::span<const uint8_t> packet, std::span<const uint8_t> uid,
                            const platform::SivKey& s2c) {
    if (packet.size() < kNtpHeaderSize) return refuse("reply too short");
    if (packet.size() > kNtsMaxPacket) return refuse("reply too long");
    std::vector<ExtensionField> fields;
    if (!readExtensionFields(packet.subspan(kNtpHeaderSize), fields, kMaxFields)) return refuse("malformed fields");

    const ExtensionField* identifier = nullptr;
    const ExtensionField* authenticator = nullptr;
    for (const ExtensionField& field : fields) {
        if (authenticator) return refuse("fields after the authenticator");
        if (field.type == kEfUniqueIdentifier) {
            if (identifier) return refuse("two identifiers");
            identifier = &field;
        } else if (field.type == kEfNtsAuthenticator) {
            authenticator = &field;
        }
    }
    if (!identifier || !sameBytes(identifier->body, uid)) return refuse("identifier does not match");

    // A NAK is not authenticated (the server cannot read the cookie), but
    // it must answer this request.
    if (packet[1] == kKissStratum && sameBytes(packet.subspan(kReferenceId, 4), kNtsNakCode)) {
        NtsReplyCheck nak;
        nak.kind = NtsReplyKind::NtsNak;
        nak.refusal = "NTS NAK";
        return nak;
    }
    if (!authenticator) return refuse("no authenticator");

    const std::span<const uint8_t> body = authenticator->body;
    if (body.size() < 4) return refuse("malformed authenticator");
    const size_t nonceLength = readWord16(body, 0);
    const size_t sealedLength = readWord16(body, 2);
    const size_t nonceEnd = 4 + padded4(nonceLength);
    if (nonceLength == 0 || sealedLength < platform::kSivTagSize || nonceEnd > body.size() ||
        padded4(sealedLength) > body.size() - nonceEnd) {
        return refuse("malformed authenticator");
    }
    const size_t associatedEnd = kNtpHeaderSize + authenticator->offset;
    std::vector<uint8_t> plain;
    if (!platform::sivOpen(s2c, body.subspan(4, nonceLength), packet.first(associatedEnd),
                           body.subspan(nonceEnd, sealedLength), plain)) {
        return refuse("reply not authentic");
    }

    std::vector<ExtensionField> inner;
    if (!readExtensionFields(plain, inner, kMaxFields)) return refuse("malformed encrypted fields");
    NtsReplyCheck check;
    for (const ExtensionField& field : inner) {
        if (field.type != kEfNtsCookie) continue;
        if (field.body.empty()) return refuse("empty cookie");
        if (field.body.size() > kNtsMaxCookieSize) return refuse("cookie too long");
        if (check.cookies.size() == kNtsMaxCookies) return refuse("too many cookies");
        check.cookies.emplace_back(field.body.begin(), field.body.end());
    }
    check.kind = NtsReplyKind::Authentic;
    return check;
}

}  // namespace tavrel
