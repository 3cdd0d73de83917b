// Tavrel.exe has no NTS backend yet: every call fails, and the caller logs
// kNtsUnavailable for the entry and moves on.
#include "platform/nts_crypto.h"

#include <windows.h>
#include <bcrypt.h>

namespace tavrel::platform {

bool ntsCryptoAvailable() { return false; }

std::string ntsExtraCaFile() { return ""; }

bool sivSeal(const SivKey&, std::span<const uint8_t>, std::span<const uint8_t>, std::span<const uint8_t>,
             std::vector<uint8_t>& sealed) {
    sealed.clear();
    return false;
}

bool sivOpen(const SivKey&, std::span<const uint8_t>, std::span<const uint8_t>, std::span<const uint8_t>,
             std::vector<uint8_t>& plain) {
    plain.clear();
    return false;
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

TlsExchangeResult tlsExchange(Socket&, const TlsExchangeRequest&) {
    TlsExchangeResult result;
    result.failure = kNtsUnavailable;
    return result;
}

}  // namespace tavrel::platform
