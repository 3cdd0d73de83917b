// NTS Key Establishment records (RFC 8915 section 4), free of I/O: the
// client's request, and the server's response read into what the client
// needs, or refused with a reason short enough for a log line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tavrel {

inline constexpr uint16_t kNtsKePort = 4460;
inline constexpr const char* kNtsKeAlpn = "ntske/1";
inline constexpr const char* kNtsExporterLabel = "EXPORTER-network-time-security";
inline constexpr uint16_t kNtsProtocolNtpV4 = 0;
inline constexpr uint16_t kNtsAeadAesSivCmac256 = 15;

// Record types; the top bit of the type word marks a record critical.
enum class NtsKeRecord : uint16_t {
    EndOfMessage = 0,
    NextProtocol = 1,
    Error = 2,
    Warning = 3,
    AeadAlgorithm = 4,
    NewCookie = 5,
    Server = 6,
    Port = 7,
};
inline constexpr uint16_t kNtsKeCritical = 0x8000;

// More cookies than this in one response are refused: a client asks for
// eight and keeps no more.
inline constexpr size_t kNtsMaxCookies = 8;
// A cookie must fit with its placeholders into one NTP request.
inline constexpr size_t kNtsMaxCookieSize = 256;
// A whole response longer than this is refused before it is read.
inline constexpr size_t kNtsKeMaxResponse = 16384;
inline constexpr size_t kNtsMaxServerNameSize = 255;

// The request: NTPv4, AES-SIV-CMAC-256, End of Message, all critical.
std::vector<uint8_t> buildNtsKeRequest();

struct NtsKeResponse {
    uint16_t protocol = 0;
    uint16_t aead = 0;
    std::vector<std::vector<uint8_t>> cookies;
    std::string server;  // the NTP server to ask; empty: the NTS-KE server
    uint16_t port = 0;   // its NTP port; 0: 123
};

struct NtsKeParse {
    bool ok = false;
    std::string refusal;  // "refused (error 1)", "malformed records", ...
};

// Reads a whole response. Refused: a record running past the buffer, none
// or anything after End of Message, an Error or Warning, an unknown
// critical record, no NTPv4 or no AES-SIV-CMAC-256 agreed, no cookie, too
// many, an empty or oversized one, a bad server name or port.
[[nodiscard]] NtsKeParse parseNtsKeResponse(std::span<const uint8_t> bytes, NtsKeResponse& out);

// True once the bytes hold a whole response (End of Message at a record
// boundary) or can never become one (a record runs past kNtsKeMaxResponse);
// the reader stops reading then and the parser judges.
bool ntsKeResponseComplete(std::span<const uint8_t> bytes);

// The TLS exporter's context for one direction: the protocol, the AEAD and
// 0 for client-to-server, 1 for server-to-client.
std::vector<uint8_t> ntsExporterContext(uint16_t protocol, uint16_t aead, bool serverToClient);

}  // namespace tavrel
