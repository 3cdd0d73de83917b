#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "nts/nts_fields.h"
#include "platform/nts_crypto.h"

namespace tavrel {
namespace {

using Bytes = std::vector<uint8_t>;

platform::SivKey key(uint8_t fill) {
    platform::SivKey k;
    k.fill(fill);
    return k;
}

Bytes field(uint16_t type, const Bytes& body) {
    const size_t length = 4 + body.size();
    Bytes out{static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), static_cast<uint8_t>(length >> 8),
              static_cast<uint8_t>(length)};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

const Bytes kUid(32, 0x5A);
const Bytes kNonce(16, 0x77);

// A server's reply as the RFC lays it out: header, the client's identifier,
// then the Authenticator sealing `inner` under `s2c`.
Bytes serverReply(const Bytes& uid, const Bytes& inner, const platform::SivKey& s2c, uint8_t stratum = 2) {
    Bytes packet(48, 0);
    packet[0] = 0x24;
    packet[1] = stratum;
    packet[40] = 0xE0;  // a transmit timestamp
    append(packet, field(kEfUniqueIdentifier, uid));
    Bytes sealed;
    EXPECT_TRUE(platform::sivSeal(s2c, kNonce, packet, inner, sealed));
    Bytes body{0, 16, static_cast<uint8_t>(sealed.size() >> 8), static_cast<uint8_t>(sealed.size())};
    append(body, kNonce);
    append(body, sealed);
    body.resize((body.size() + 3) & ~size_t{3}, 0);
    append(packet, field(kEfNtsAuthenticator, body));
    return packet;
}

Bytes cookies(size_t count, size_t size = 96) {
    Bytes inner;
    for (size_t i = 0; i < count; ++i) append(inner, field(kEfNtsCookie, Bytes(size, static_cast<uint8_t>(i + 1))));
    return inner;
}

class NtsFields : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::ntsCryptoAvailable()) GTEST_SKIP() << platform::kNtsUnavailable;
    }
};

TEST_F(NtsFields, RequestCarriesIdentifierCookiePlaceholdersAndAnAuthenticatorOverAllOfThem) {
    Bytes header(48, 0);
    header[0] = 0x23;
    const Bytes cookie(98, 0xC0);  // not a multiple of four: padded
    Bytes packet;
    ASSERT_TRUE(buildNtsRequest(header, kUid, cookie, 3, key(1), kNonce, packet));
    EXPECT_EQ(packet.size() % 4, 0u);
    std::vector<ExtensionField> fields;
    ASSERT_TRUE(readExtensionFields(std::span(packet).subspan(48), fields, 16));
    ASSERT_EQ(fields.size(), 6u);
    EXPECT_EQ(fields[0].type, kEfUniqueIdentifier);
    EXPECT_EQ(Bytes(fields[0].body.begin(), fields[0].body.end()), kUid);
    EXPECT_EQ(fields[1].type, kEfNtsCookie);
    EXPECT_EQ(Bytes(fields[1].body.begin(), fields[1].body.begin() + 98), cookie);
    for (size_t i = 2; i < 5; ++i) {
        EXPECT_EQ(fields[i].type, kEfCookiePlaceholder);
        EXPECT_EQ(fields[i].body.size(), fields[1].body.size());
    }
    // What the server does: open the Authenticator with the C2S key over
    // everything before it.
    const ExtensionField& auth = fields[5];
    EXPECT_EQ(auth.type, kEfNtsAuthenticator);
    ASSERT_EQ(auth.body[1], 16);
    const size_t sealedLength = static_cast<size_t>(auth.body[2] << 8 | auth.body[3]);
    Bytes plain;
    EXPECT_TRUE(platform::sivOpen(key(1), auth.body.subspan(4, 16), std::span(packet).first(48 + auth.offset),
                                  auth.body.subspan(20, sealedLength), plain));
    EXPECT_FALSE(platform::sivOpen(key(2), auth.body.subspan(4, 16), std::span(packet).first(48 + auth.offset),
                                   auth.body.subspan(20, sealedLength), plain));
    // Out of range: no cookie, a short identifier, eight placeholders.
    EXPECT_FALSE(buildNtsRequest(header, kUid, {}, 0, key(1), kNonce, packet));
    EXPECT_FALSE(buildNtsRequest(header, Bytes(31, 1), cookie, 0, key(1), kNonce, packet));
    EXPECT_FALSE(buildNtsRequest(header, kUid, cookie, 8, key(1), kNonce, packet));
}

TEST_F(NtsFields, AuthenticReplyGivesItsSealedCookiesAndEveryFlippedBitIsRefused) {
    const Bytes reply = serverReply(kUid, cookies(2), key(9));
    const NtsReplyCheck check = checkNtsReply(reply, kUid, key(9));
    ASSERT_EQ(check.kind, NtsReplyKind::Authentic) << check.refusal;
    ASSERT_EQ(check.cookies.size(), 2u);
    EXPECT_EQ(check.cookies[1], Bytes(96, 2));

    for (size_t byte = 0; byte < reply.size(); ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes flipped = reply;
            flipped[byte] = static_cast<uint8_t>(flipped[byte] ^ (1 << bit));
            ASSERT_EQ(checkNtsReply(flipped, kUid, key(9)).kind, NtsReplyKind::Refused) << byte << ":" << bit;
        }
    }
    EXPECT_EQ(checkNtsReply(reply, kUid, key(8)).refusal, "reply not authentic");
    EXPECT_EQ(checkNtsReply(reply, Bytes(32, 0x5B), key(9)).refusal, "identifier does not match");
    // Unauthenticated fields after the Authenticator.
    Bytes trailing = reply;
    append(trailing, field(kEfNtsCookie, Bytes(12, 1)));
    EXPECT_EQ(checkNtsReply(trailing, kUid, key(9)).refusal, "fields after the authenticator");
}

TEST_F(NtsFields, HostileRepliesAreRefusedWithoutReadingPastThem) {
    EXPECT_EQ(checkNtsReply(serverReply(kUid, cookies(9), key(9)), kUid, key(9)).refusal, "too many cookies");
    EXPECT_EQ(checkNtsReply(serverReply(kUid, field(kEfNtsCookie, {}), key(9)), kUid, key(9)).refusal, "empty cookie");
    EXPECT_EQ(checkNtsReply(Bytes(47, 0), kUid, key(9)).refusal, "reply too short");
    // Every cut of a good reply: refused, never read past (ASan watches).
    const Bytes reply = serverReply(kUid, cookies(1), key(9));
    for (size_t size = 48; size < reply.size(); ++size) {
        const Bytes cut(reply.begin(), reply.begin() + static_cast<long>(size));
        EXPECT_EQ(checkNtsReply(cut, kUid, key(9)).kind, NtsReplyKind::Refused) << size;
    }
    // An Authenticator whose lengths claim more than its field holds.
    Bytes bloated = reply;
    const size_t auth = 48 + 36;
    bloated[auth + 6] = 0xFF;  // ciphertext length
    EXPECT_EQ(checkNtsReply(bloated, kUid, key(9)).refusal, "malformed authenticator");
    std::vector<ExtensionField> fields;
    EXPECT_FALSE(readExtensionFields(Bytes{0x01, 0x04, 0x00, 0x40, 0, 0, 0, 0}, fields, 8));  // past the end
    EXPECT_FALSE(readExtensionFields(Bytes{0x01, 0x04, 0x00, 0x06, 0, 0, 0, 0}, fields, 8));  // not a multiple of 4
    EXPECT_FALSE(readExtensionFields(Bytes{0x01, 0x04, 0x00}, fields, 8));                    // a header cut short
}

TEST_F(NtsFields, NakCountsOnlyWithTheRequestsIdentifier) {
    Bytes nak(48, 0);
    nak[0] = 0x24;  // stratum 0, "NTSN"
    nak[12] = 'N', nak[13] = 'T', nak[14] = 'S', nak[15] = 'N';
    append(nak, field(kEfUniqueIdentifier, kUid));
    EXPECT_EQ(checkNtsReply(nak, kUid, key(9)).kind, NtsReplyKind::NtsNak);
    EXPECT_EQ(checkNtsReply(nak, Bytes(32, 1), key(9)).kind, NtsReplyKind::Refused);
}

TEST(NtsBackend, WithoutCryptographyEveryCallRefusesWithItsMessage) {
    if (platform::ntsCryptoAvailable()) GTEST_SKIP() << "this backend has NTS";
    Bytes out;
    EXPECT_FALSE(platform::sivSeal(key(1), kNonce, {}, {}, out));
    const platform::SocketLibraryUse library;
    std::shared_ptr<platform::Socket> socket = platform::Socket::create(platform::SocketKind::Tcp);
    ASSERT_TRUE(socket);
    EXPECT_EQ(platform::tlsExchange(*socket, {}).failure, platform::kNtsUnavailable);
}

}  // namespace
}  // namespace tavrel
