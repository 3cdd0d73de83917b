#include "nts/nts_server_entry.h"

#include <cctype>
#include <string>

namespace tavrel {
namespace {

constexpr std::string_view kScheme = "nts://";
constexpr unsigned kLargestPort = 65535;

std::string_view trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// A host name or an IPv4 address: letters, digits, dots, hyphens and
// underscores.
bool plausibleHost(std::string_view host) {
    if (host.empty() || host.size() > 253) return false;
    for (char c : host) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') return false;
    }
    return true;
}

bool plausibleIpv6(std::string_view address) {
    if (address.size() < 2 || address.size() > 45) return false;
    for (char c : address) {
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
    }
    return address.find(':') != std::string_view::npos;
}

bool parsePort(std::string_view text, uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > kLargestPort) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

bool isNtsEntry(std::string_view entry) {
    entry = trimmed(entry);
    if (entry.size() < kScheme.size()) return false;
    for (size_t i = 0; i < kScheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(entry[i])) != kScheme[i]) return false;
    }
    return true;
}

bool parseNtsEntry(std::string_view entry, NtsServer& out) {
    if (!isNtsEntry(entry)) return false;
    std::string_view rest = trimmed(entry).substr(kScheme.size());
    std::string_view host;
    uint16_t port = kNtsKePort;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos) return false;
        host = rest.substr(1, close - 1);
        if (!plausibleIpv6(host)) return false;
        rest.remove_prefix(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !parsePort(rest.substr(1), port))) return false;
    } else {
        const size_t colon = rest.find(':');
        host = rest.substr(0, colon);
        if (!plausibleHost(host)) return false;
        if (colon != std::string_view::npos && !parsePort(rest.substr(colon + 1), port)) return false;
    }
    out.host = std::string(host);
    out.port = port;
    return true;
}

}  // namespace tavrel
