#include "nts/nts_ke_records.h"
#include "nts/nts_wire.h"

namespace tavrel {
namespace {

constexpr size_t kRecordHeader = 4;

void appendRecord(std::vector<uint8_t>& out, NtsKeRecord type, bool critical, std::span<const uint8_t> body) {
    appendWord16(out, static_cast<uint16_t>(static_cast<uint16_t>(type) | (critical ? kNtsKeCritical : 0)));
    appendWord16(out, static_cast<uint16_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
}

NtsKeParse refuse(std::string why) { return NtsKeParse{false, std::move(why)}; }

// A host name or address as the Server record carries it: printable ASCII
// without spaces.
bool plausibleServerName(std::span<const uint8_t> body) {
    if (body.empty() || body.size() > kNtsMaxServerNameSize) return false;
    for (uint8_t c : body) {
        if (c <= 0x20 || c >= 0x7F) return false;
    }
    return true;
}

}  // namespace

std::vector<uint8_t> buildNtsKeRequest() {
    std::vector<uint8_t> out;
    const uint8_t protocol[] = {0, kNtsProtocolNtpV4};
    const uint8_t aead[] = {0, kNtsAeadAesSivCmac256};
    appendRecord(out, NtsKeRecord::NextProtocol, true, protocol);
    appendRecord(out, NtsKeRecord::AeadAlgorithm, true, aead);
    appendRecord(out, NtsKeRecord::EndOfMessage, true, {});
    return out;
}

bool ntsKeResponseComplete(std::span<const uint8_t> bytes) {
    size_t at = 0;
    while (at + kRecordHeader <= bytes.size()) {
        const uint16_t type = static_cast<uint16_t>(readWord16(bytes, at) & ~kNtsKeCritical);
        const size_t length = readWord16(bytes, at + 2);
        if (at + kRecordHeader + length > kNtsKeMaxResponse) return true;
        if (type == static_cast<uint16_t>(NtsKeRecord::EndOfMessage)) return true;
        at += kRecordHeader + length;
    }
    return false;
}

NtsKeParse parseNtsKeResponse(std::span<const uint8_t> bytes, NtsKeResponse& out) {
    out = NtsKeResponse{};
    bool sawProtocol = false, sawAead = false, sawPort = false, sawServer = false;
    size_t at = 0;
    for (;;) {
        if (at + kRecordHeader > bytes.size()) return refuse("malformed records");
        const uint16_t typeWord = readWord16(bytes, at);
        const bool critical = (typeWord & kNtsKeCritical) != 0;
        const uint16_t type = static_cast<uint16_t>(typeWord & ~kNtsKeCritical);
        const size_t length = readWord16(bytes, at + 2);
        if (length > bytes.size() - at - kRecordHeader) return refuse("malformed records");
        const std::span<const uint8_t> body = bytes.subspan(at + kRecordHeader, length);
        at += kRecordHeader + length;

        switch (static_cast<NtsKeRecord>(type)) {
        case NtsKeRecord::EndOfMessage:
            if (!body.empty() || at != bytes.size()) return refuse("malformed records");
            if (!sawProtocol) return refuse("no protocol agreed");
            if (!sawAead) return refuse("no AEAD algorithm agreed");
            if (out.cookies.empty()) return refuse("no cookies");
            return NtsKeParse{true, {}};
        case NtsKeRecord::NextProtocol:
            // The server names the one protocol it chose, or none (it
            // supports none of the client's).
            if (sawProtocol || body.size() % 2 != 0) return refuse("malformed records");
            if (body.size() != 2 || readWord16(body, 0) != kNtsProtocolNtpV4) return refuse("NTPv4 not offered");
            out.protocol = kNtsProtocolNtpV4;
            sawProtocol = true;
            break;
        case NtsKeRecord::Error:
            if (body.size() != 2) return refuse("malformed records");
            return refuse("refused (error " + std::to_string(readWord16(body, 0)) + ")");
        case NtsKeRecord::Warning:
            // No warning codes are defined, and an unknown one counts as an error.
            if (body.size() != 2) return refuse("malformed records");
            return refuse("refused (warning " + std::to_string(readWord16(body, 0)) + ")");
        case NtsKeRecord::AeadAlgorithm:
            if (sawAead || body.size() % 2 != 0) return refuse("malformed records");
            if (body.size() != 2 || readWord16(body, 0) != kNtsAeadAesSivCmac256) {
                return refuse("AES-SIV-CMAC-256 not offered");
            }
            out.aead = kNtsAeadAesSivCmac256;
            sawAead = true;
            break;
        case NtsKeRecord::NewCookie:
            if (body.empty()) return refuse("empty cookie");
            if (body.size() > kNtsMaxCookieSize) return refuse("cookie too long");
            if (out.cookies.size() == kNtsMaxCookies) return refuse("too many cookies");
            out.cookies.emplace_back(body.begin(), body.end());
            break;
        case NtsKeRecord::Server:
            if (sawServer || !plausibleServerName(body)) return refuse("malformed records");
            out.server.assign(body.begin(), body.end());
            sawServer = true;
            break;
        case NtsKeRecord::Port:
            if (sawPort || body.size() != 2 || readWord16(body, 0) == 0) return refuse("malformed records");
            out.port = readWord16(body, 0);
            sawPort = true;
            break;
        default:
            if (critical) return refuse("unknown critical record " + std::to_string(type));
            break;
        }
    }
}

std::vector<uint8_t> ntsExporterContext(uint16_t protocol, uint16_t aead, bool serverToClient) {
    std::vector<uint8_t> context;
    appendWord16(context, protocol);
    appendWord16(context, aead);
    context.push_back(serverToClient ? 1 : 0);
    return context;
}

}  // namespace tavrel
