#include "nts/nts_cookie_file.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "platform/file.h"

namespace tavrel {
namespace {

constexpr std::string_view kFirstLine = "TavrelNtsCookies 1";
constexpr size_t kLargestName = 255;
constexpr platform::FileTime kLifetime = kNtsKeysLifetimeMs * (platform::kFileTimeUnitsPerSecond / 1000);
// Years past 30827 do not fit the clock's count.
constexpr uint64_t kLatestUnixSeconds = 910'692'730'000ULL;

constexpr char kDigits[] = "0123456789abcdef";

void appendHex(std::string& out, const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
}

void appendHex(std::string& out, std::string_view text) {
    appendHex(out, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes of an even number of hex digits, at most `largest` of them;
// false for anything else (and for none at all).
bool readHex(std::string_view text, size_t largest, std::vector<uint8_t>& bytes) {
    bytes.clear();
    if (text.empty() || text.size() % 2 != 0 || text.size() / 2 > largest) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = hexValue(text[i]);
        const int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}

bool readKey(std::string_view text, platform::SivKey& key) {
    std::vector<uint8_t> bytes;
    if (!readHex(text, key.size(), bytes) || bytes.size() != key.size()) return false;
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return true;
}

template <class T>
bool readNumber(std::string_view text, T& value) {
    const auto read = std::from_chars(text.data(), text.data() + text.size(), value);
    return read.ec == std::errc() && read.ptr == text.data() + text.size() && !text.empty();
}

// The fields of a line split at single spaces: exactly `count`, none empty.
bool splitFields(std::string_view line, std::vector<std::string_view>& fields, size_t count) {
    fields.clear();
    while (fields.size() < count) {
        const size_t space = line.find(' ');
        fields.push_back(line.substr(0, space));
        if (fields.back().empty()) return false;
        if (space == std::string_view::npos) break;
        line.remove_prefix(space + 1);
        if (fields.size() == count) return false;  // more than `count`
    }
    return fields.size() == count;
}

bool parseLine(std::string_view line, std::string& entry, NtsKeys& keys) {
    std::vector<std::string_view> fields;
    if (!splitFields(line, fields, 8)) return false;
    std::vector<uint8_t> bytes;
    if (!readHex(fields[0], kLargestName * 4, bytes)) return false;
    entry.assign(bytes.begin(), bytes.end());
    uint64_t unixSeconds = 0;
    if (!readNumber(fields[1], unixSeconds) || unixSeconds == 0 || unixSeconds > kLatestUnixSeconds) return false;
    keys.got = platform::kFileTime1970 + unixSeconds * platform::kFileTimeUnitsPerSecond;
    if (!readNumber(fields[2], keys.aead) || keys.aead != kNtsAeadAesSivCmac256) return false;
    if (!readNumber(fields[3], keys.ntpPort) || keys.ntpPort == 0) return false;
    if (!readHex(fields[4], kLargestName, bytes)) return false;
    keys.ntpHost.assign(bytes.begin(), bytes.end());
    // A name or an address: no control bytes, no spaces.
    if (std::any_of(keys.ntpHost.begin(), keys.ntpHost.end(),
                    [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7F; })) {
        return false;
    }
    if (!readKey(fields[5], keys.c2s) || !readKey(fields[6], keys.s2c)) return false;
    keys.cookies.clear();
    std::string_view cookies = fields[7];
    while (keys.cookies.size() < kNtsMaxCookies) {
        const size_t comma = cookies.find(',');
        if (!readHex(cookies.substr(0, comma), kNtsMaxCookieSize, bytes)) return false;
        keys.cookies.push_back(bytes);
        if (comma == std::string_view::npos) break;
        cookies.remove_prefix(comma + 1);
    }
    return true;
}

}  // namespace

std::string formatNtsCookieFile(const KeptNtsKeys& kept) {
    // The newest first when there are more than the file holds.
    std::vector<const KeptNtsKeys::value_type*> order;
    for (const auto& item : kept) {
        if (!item.second.cookies.empty()) order.push_back(&item);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto* a, const auto* b) { return a->second.got > b->second.got; });
    if (order.size() > kMaxNtsClients) order.resize(kMaxNtsClients);

    std::string text(kFirstLine);
    text += '\n';
    for (const auto* item : order) {
        const NtsKeys& keys = item->second;
        appendHex(text, item->first);
        const uint64_t unixSeconds = keys.got > platform::kFileTime1970
                                         ? (keys.got - platform::kFileTime1970) / platform::kFileTimeUnitsPerSecond
                                         : 0;
        text += ' ' + std::to_string(unixSeconds) + ' ' + std::to_string(keys.aead) + ' ' +
                std::to_string(keys.ntpPort) + ' ';
        appendHex(text, keys.ntpHost);
        text += ' ';
        appendHex(text, keys.c2s.data(), keys.c2s.size());
        text += ' ';
        appendHex(text, keys.s2c.data(), keys.s2c.size());
        text += ' ';
        for (size_t i = 0; i < keys.cookies.size() && i < kNtsMaxCookies; ++i) {
            if (i > 0) text += ',';
            appendHex(text, keys.cookies[i].data(), keys.cookies[i].size());
        }
        text += '\n';
    }
    return text;
}

KeptNtsKeys parseNtsCookieFile(std::string_view text) {
    KeptNtsKeys kept;
    if (text.size() > kLargestNtsCookieFile) return kept;
    auto nextLine = [&text] {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        return line;
    };
    if (nextLine() != kFirstLine) return kept;
    while (!text.empty() && kept.size() < kMaxNtsClients) {
        std::string entry;
        NtsKeys keys;
        if (parseLine(nextLine(), entry, keys)) kept.emplace(std::move(entry), std::move(keys));
    }
    return kept;
}

bool ntsKeysFresh(platform::FileTime got, platform::FileTime now) {
    const platform::FileTime age = now > got ? now - got : got - now;
    return got != 0 && age < kLifetime;
}

KeptNtsKeys readNtsCookieFile(const std::string& path, platform::FileTime now) {
    std::string text;
    if (!platform::readSmallFile(path, text, kLargestNtsCookieFile)) return {};
    KeptNtsKeys kept = parseNtsCookieFile(text);
    std::erase_if(kept, [now](const auto& item) { return !ntsKeysFresh(item.second.got, now); });
    return kept;
}

bool writeNtsCookieFile(const std::string& path, const KeptNtsKeys& kept) {
    const bool any = std::any_of(kept.begin(), kept.end(), [](const auto& item) { return !item.second.cookies.empty(); });
    if (!any) return !platform::fileExists(path) || platform::removeFile(path);
    return platform::writeFileReplacing(path, formatNtsCookieFile(kept), platform::FileReaders::OwnerOnly);
}

}  // namespace tavrel
