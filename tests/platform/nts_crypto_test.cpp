// The NTS backend's primitives against published and independently computed
// values, on whichever system the tests were built for (Nettle on Linux,
// wolfCrypt in Tavrel.exe), so both backends seal alike.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/nts_crypto.h"

namespace tavrel::platform {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

SivKey keyFromHex(const std::string& hex) {
    const Bytes bytes = fromHex(hex);
    SivKey key{};
    EXPECT_EQ(bytes.size(), key.size());
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

class NtsCrypto : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ntsCryptoAvailable()) GTEST_SKIP() << kNtsUnavailable;
    }
};

// RFC 5297's nonce-based example (A.2) with NTS's shape: one associated
// data item (the example's first) and then the nonce. The sealed bytes were
// computed by another implementation that reproduces both of the RFC's
// examples exactly.
const SivKey kRfcKey = keyFromHex("7f7e7d7c7b7a79787776757473727170404142434445464748494a4b4c4d4e4f");
const Bytes kRfcAssociated =
    fromHex("00112233445566778899aabbccddeeffdeaddadadeaddadaffeeddccbbaa99887766554433221100");
const Bytes kRfcNonce = fromHex("09f911029d74e35bd84156c5635688c0");
const Bytes kRfcPlain =
    fromHex("7468697320697320736f6d6520706c61696e7465787420746f20656e6372797074207573696e67205349562d414553");
const Bytes kRfcSealed = fromHex(
    "85825e22e90cf2ddda2c548dc7c1b631"  // the synthetic IV
    "0dcdaca0cebf9dc6cb90583f5bf1506e02cd48832b00e4e598b2b22a53e6199d4df0c1666a35a0433b250dc134d776");

TEST_F(NtsCrypto, AesSivSealsTheKnownVectorAndOpensOnlyWhatItSealed) {
    Bytes sealed;
    ASSERT_TRUE(sivSeal(kRfcKey, kRfcNonce, kRfcAssociated, kRfcPlain, sealed));
    EXPECT_EQ(sealed, kRfcSealed);
    Bytes plain;
    ASSERT_TRUE(sivOpen(kRfcKey, kRfcNonce, kRfcAssociated, kRfcSealed, plain));
    EXPECT_EQ(plain, kRfcPlain);

    // A flipped bit anywhere (tag, ciphertext, associated data, nonce, key)
    // is refused, and nothing of the plaintext is given.
    for (size_t byte : {size_t{0}, size_t{15}, size_t{16}, kRfcSealed.size() - 1}) {
        Bytes altered = kRfcSealed;
        altered[byte] ^= 0x01;
        plain = {1, 2, 3};
        EXPECT_FALSE(sivOpen(kRfcKey, kRfcNonce, kRfcAssociated, altered, plain)) << byte;
        EXPECT_TRUE(plain.empty());
    }
    Bytes associated = kRfcAssociated;
    associated.back() ^= 0x80;
    EXPECT_FALSE(sivOpen(kRfcKey, kRfcNonce, associated, kRfcSealed, plain));
    Bytes nonce = kRfcNonce;
    nonce[0] ^= 0x01;
    EXPECT_FALSE(sivOpen(kRfcKey, nonce, kRfcAssociated, kRfcSealed, plain));
    SivKey otherKey = kRfcKey;
    otherKey[31] ^= 0x01;  // the encryption half
    EXPECT_FALSE(sivOpen(otherKey, kRfcNonce, kRfcAssociated, kRfcSealed, plain));
    // Cut short: no tag, or a tag alone with the ciphertext gone.
    EXPECT_FALSE(sivOpen(kRfcKey, kRfcNonce, kRfcAssociated, Bytes(kRfcSealed.begin(), kRfcSealed.begin() + 15), plain));
    EXPECT_FALSE(sivOpen(kRfcKey, kRfcNonce, kRfcAssociated, Bytes(kRfcSealed.begin(), kRfcSealed.begin() + 16), plain));
    // No nonce is no NTS.
    EXPECT_FALSE(sivSeal(kRfcKey, {}, kRfcAssociated, kRfcPlain, sealed));
    EXPECT_TRUE(sealed.empty());
}

TEST_F(NtsCrypto, AesSivSealsNothingAsATagAloneOverEmptyAssociatedData) {
    // As a server seals an empty set of fields; the value from the same
    // other implementation.
    Bytes sealed;
    ASSERT_TRUE(sivSeal(kRfcKey, kRfcNonce, {}, {}, sealed));
    EXPECT_EQ(sealed, fromHex("fdb4d34cbca0051e621cb0820173464e"));
    Bytes plain{9};
    EXPECT_TRUE(sivOpen(kRfcKey, kRfcNonce, {}, sealed, plain));
    EXPECT_TRUE(plain.empty());
    sealed[3] ^= 0x40;
    EXPECT_FALSE(sivOpen(kRfcKey, kRfcNonce, {}, sealed, plain));
}

TEST(NtsPrimitives, Md5AndRandomBytesOnEveryBackend) {
    // RFC 1321's "abc" and the empty message.
    std::array<uint8_t, 16> digest{};
    const std::string abc = "abc";
    ASSERT_TRUE(md5Digest(Bytes(abc.begin(), abc.end()), digest));
    EXPECT_EQ(Bytes(digest.begin(), digest.end()), fromHex("900150983cd24fb0d6963f7d28e17f72"));
    ASSERT_TRUE(md5Digest({}, digest));
    EXPECT_EQ(Bytes(digest.begin(), digest.end()), fromHex("d41d8cd98f00b204e9800998ecf8427e"));

    // Two draws of 32 bytes: equal only by a chance of one in 2^256.
    Bytes first(32), second(32);
    ASSERT_TRUE(randomBytes(first));
    ASSERT_TRUE(randomBytes(second));
    EXPECT_NE(first, second);
    EXPECT_TRUE(randomBytes({}));
}

}  // namespace
}  // namespace tavrel::platform
