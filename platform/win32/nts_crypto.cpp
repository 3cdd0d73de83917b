// Tavrel.exe has no NTS backend yet: every call fails, and the caller logs
// kNtsUnavailable for the entry and moves on.
#include "platform/nts_crypto.h"

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

bool randomBytes(std::span<uint8_t>) { return false; }

TlsExchangeResult tlsExchange(Socket&, const TlsExchangeRequest&) {
    TlsExchangeResult result;
    result.failure = kNtsUnavailable;
    return result;
}

}  // namespace tavrel::platform
