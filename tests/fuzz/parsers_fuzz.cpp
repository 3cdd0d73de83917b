// Feeds arbitrary bytes to the parsers of outside input: the strings file,
// the server list, the settings file, the TIME and SNTP replies, and the
// zone readers (TZif files, POSIX rules, transition dates), and the SNTP
// server's handling of requests, the rows of the history file, the NTS-KE
// records, the NTS extension fields of a reply and the file of kept NTS
// cookies. Each
// target checks what its parser
// promises, not only that it does not crash.
// TAVREL_FUZZ_TARGET picks the parser at build time.
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "nts/nts_client_store.h"
#include "nts/nts_cookie_file.h"
#include "nts/nts_fields.h"
#include "nts/nts_ke_records.h"
#include "platform/timezone.h"
#include "protocol/sntp_handler.h"
#include "protocol/time_protocol.h"
#include "servers/server_list.h"
#include "storage/history.h"
#include "storage/plain_text.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "timezone/time_zone.h"

using namespace tavrel;

namespace {

[[maybe_unused]] bool within(int64_t value, int64_t low, int64_t high) { return value >= low && value <= high; }
// One of the enumerators from the first (0) to `last`.
template <class E>
[[maybe_unused]] bool isEnumerator(E value, E last) {
    return value >= E{} && value <= last;
}

[[maybe_unused]] void checkTransition(const platform::SystemTime& rule) {
    const platform::SystemTime today{2026, 6, 0, 15, 12, 0, 0, 0};
    const platform::SystemTime date = transitionDate(rule, today);
    if (date.month != 0 && (date.month > 12 || date.day < 1 || date.day > 31 || date.hour > 23)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
#if TAVREL_FUZZ_TARGET == 1
    static StringTable table;
    StringTableFiller filler(table, kRequiredSlots);
    for (uint8_t b : bytes) filler.feed(b);
    for (int slot = 0; slot < static_cast<int>(kSlotCount); ++slot) {
        if (table.lengths[slot] > TextLineSplitter::kMaxLineLength) __builtin_trap();
    }
#elif TAVREL_FUZZ_TARGET == 2
    ServerListParser parser;
    auto check = [&parser] {
        const std::string_view entry = parser.entry();
        if (entry.size() < 3 || entry.size() > 599 || entry.find_first_not_of(" \t") == std::string_view::npos) {
            __builtin_trap();
        }
    };
    for (uint8_t b : bytes) {
        if (parser.feed(b)) check();
    }
    if (parser.finish()) check();
#elif TAVREL_FUZZ_TARGET == 3
    // Whatever the file holds, every field the program reads lies in its range.
    applySettingsImage(bytes);
    const uint8_t clear[sizeof settings.reserved424] = {};
    const std::chrono::seconds timeout = settings.syncTimeout.load();
    if (timeout < std::chrono::seconds(5) || timeout > std::chrono::seconds(99) ||
        !within(settings.autoSyncCount.load(), 1, 99) || !within(settings.autoCheckCount.load(), 1, 99) ||
        settings.offsetAmount.load() > 99 || !isEnumerator(settings.protocol.load(), Protocol::Auto) ||
        !isEnumerator(settings.serverSource.load(), ServerSource::ManualB) ||
        !isEnumerator(settings.offsetMultiplier.load(), OffsetUnit::Hours) ||
        !isEnumerator(settings.autoSyncUnit.load(), TimeUnit::Days) ||
        !within(settings.selectedServer.load(), 0, INT32_MAX) ||
        std::memcmp(settings.reserved424, clear, sizeof clear) != 0 ||
        // A flag's word holds 0 or 1, which its typed load cannot show.
        !within(settings.timeServerEnabled.loadRaw(), 0, 1) ||
        settings.dateRangeLow.load() > settings.dateRangeHigh.load()) {
        __builtin_trap();
    }
    const platform::TimeZoneInformation zone = lockedTimeZone();
    if (zone.daylightDate.dayOfWeek > 6 || zone.standardDate.month > 12) __builtin_trap();
    checkTransition(zone.daylightDate);
    checkTransition(zone.standardDate);
#elif TAVREL_FUZZ_TARGET == 4
    // Checked against the originate it carries, so that the fuzzer reaches
    // every test past the bogus-packet ones.
    WireTimestamp sent{};
    if (size >= kSntpPacketSize) std::copy(data + 24, data + 32, sent.begin());
    const SntpReplyCheck check = checkSntpReply(bytes, sent);
    if (check.kind == SntpReplyKind::Usable) {
        const SntpTimestamps& stamps = check.stamps;
        if (check.stratum == 0 || check.stratum > 15) __builtin_trap();
        (void)sntpOffsetUnits(0, ntpToFileTime(stamps.receiveSeconds, stamps.receiveFraction),
                              ntpToFileTime(stamps.transmitSeconds, stamps.transmitFraction), UINT64_MAX / 2);
    }
    if (size >= 4) (void)wireSecondsToFileTime(readWord(bytes, 0));
#elif TAVREL_FUZZ_TARGET == 5
    // A zone file: its footer's rule, or its transitions.
    const std::string file(reinterpret_cast<const char*>(data), size);
    platform::TimeZoneInformation zone;
    const std::string rule = platform::tzifFooter(file);
    std::string abbreviation;
    if ((!rule.empty() && platform::parsePosixZoneRule(rule, zone)) ||
        platform::zoneFromTransitions(file, 1'780'000'000, zone, abbreviation)) {
        if (!within(zone.bias, -1440, 1440) || !within(zone.daylightBias, -1440, 1440)) __builtin_trap();
        if (zone.daylightDate.year == 0) checkTransition(zone.daylightDate);
        if (zone.standardDate.year == 0) checkTransition(zone.standardDate);
    }
#elif TAVREL_FUZZ_TARGET == 6
    // A POSIX rule, and transition dates over any record.
    const std::string rule(reinterpret_cast<const char*>(data), size);
    platform::TimeZoneInformation zone;
    if (platform::parsePosixZoneRule(rule, zone)) {
        if (!within(zone.bias, -1440, 1440) || !within(zone.daylightBias, -1440, 1440)) __builtin_trap();
        checkTransition(zone.daylightDate);
        checkTransition(zone.standardDate);
    }
    if (size >= sizeof(platform::SystemTime)) {
        platform::SystemTime any{};
        std::memcpy(&any, data, sizeof any);
        checkTransition(any);
    }
#elif TAVREL_FUZZ_TARGET == 7
    // The SNTP server's handler over a run of datagrams: each a length
    // byte, a sender byte, a time step byte and the datagram. A reply is
    // always a server's, a kiss always RATE, and no forged source is
    // answered.
    SntpRequestHandler handler;
    uint64_t now = 0;
    const ServedClock clock = servedClockAt(ClockStanding{platform::kFileTime1970, 5, 0, false, 0}, platform::kFileTime1970);
    for (size_t at = 0; at + 3 <= size;) {
        const size_t length = data[at] % 64;
        const uint8_t who = data[at + 1];
        now += data[at + 2];
        at += 3;
        const size_t take = length < size - at ? length : size - at;
        platform::NetAddress sender = platform::NetAddress::v4(0x0A000000u | who, static_cast<uint16_t>(who % 8));
        if (who >= 0xF0) sender = platform::NetAddress::v4(0xE0000000u | who, 123);
        uint8_t reply[kSntpPacketSize] = {};
        const SntpDecision decision = handler.handle(data + at, take, sender, now, platform::kFileTime1970, clock, reply);
        at += take;
        if (decision == SntpDecision::Drop) continue;
        if (isSpoofedSource(sender) || (reply[0] & 7) != 4) __builtin_trap();
        if (decision == SntpDecision::Kiss && (reply[1] != 0 || std::memcmp(reply + 12, "RATE", 4) != 0)) __builtin_trap();
        if (decision == SntpDecision::Answer && reply[1] != 2) __builtin_trap();
    }
#elif TAVREL_FUZZ_TARGET == 8
    // A row of the history file: one read has finite figures within their
    // bounds, and written again it reads back the same.
    const std::string_view row(reinterpret_cast<const char*>(data), size);
    HistoryEntry entry;
    if (parseHistoryRow(row, entry)) {
        auto seconds = [](const std::optional<double>& v) {
            return !v || (std::isfinite(*v) && std::fabs(*v) <= kLargestHistorySeconds);
        };
        if (!seconds(entry.offsetSeconds) || !seconds(entry.changeSeconds) ||
            (entry.roundTripMs && *entry.roundTripMs > kLargestHistoryRoundTripMs)) {
            __builtin_trap();
        }
        // Written again, the row holds no control character, whatever the
        // texts read held.
        const std::string written = historyRow(entry);
        for (char c : written) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) __builtin_trap();
        }
        HistoryEntry again;
        if (!parseHistoryRow(written, again) || again.when != entry.when ||
            again.roundTripMs != entry.roundTripMs || again.offsetSeconds.has_value() != entry.offsetSeconds.has_value() ||
            again.changeSeconds.has_value() != entry.changeSeconds.has_value() ||
            (entry.offsetSeconds && std::fabs(*again.offsetSeconds - *entry.offsetSeconds) > 1e-7) ||
            (entry.changeSeconds && std::fabs(*again.changeSeconds - *entry.changeSeconds) > 1e-7)) {
            __builtin_trap();
        }
        // A text reads back as plainText has it (so the same, where it held
        // no control character and no byte that is not UTF-8): the mark
        // that guards a formula is taken off again.
        if (again.action != plainText(entry.action) || again.server != plainText(entry.server) ||
            again.address != plainText(entry.address) || again.protocol != plainText(entry.protocol) ||
            again.outcome != plainText(entry.outcome)) {
            __builtin_trap();
        }
    }
#elif TAVREL_FUZZ_TARGET == 9
    // An NTS-KE response: accepted only whole and with what the client can
    // use; a response accepted is one the reader would have stopped at.
    NtsKeResponse response;
    if (parseNtsKeResponse(bytes, response).ok) {
        if (response.protocol != kNtsProtocolNtpV4 || response.aead != kNtsAeadAesSivCmac256 ||
            response.cookies.empty() || response.cookies.size() > kNtsMaxCookies ||
            response.server.size() > kNtsMaxServerNameSize || !ntsKeResponseComplete(bytes)) {
            __builtin_trap();
        }
        for (const auto& cookie : response.cookies) {
            if (cookie.empty() || cookie.size() > kNtsMaxCookieSize) __builtin_trap();
        }
    }
#elif TAVREL_FUZZ_TARGET == 10
    // A reply's extension fields. The first byte picks how the rest is
    // used: as a whole reply, which no forger can make authentic without
    // the key; or as the fields a server sealed in a reply of its own, which
    // is how hostile encrypted fields reach the cookie reader.
    static const platform::SivKey key{};
    static const uint8_t uid[kNtsUidSize] = {1, 2, 3};
    if (size == 0) return 0;
    const std::span<const uint8_t> rest = bytes.subspan(1);
    std::vector<ExtensionField> fields;
    const bool wellFormed = readExtensionFields(rest, fields, 64);
    if (wellFormed) {
        size_t total = 0;
        for (const ExtensionField& field : fields) {
            if (field.offset != total) __builtin_trap();
            total += 4 + field.body.size();
        }
        if (total != rest.size()) __builtin_trap();
    }
    NtsReplyCheck check;
    if (data[0] & 1) {
        std::vector<uint8_t> packet(kNtpHeaderSize, 0);
        packet[0] = 0x24;
        packet[1] = 2;
        const uint8_t identifierHeader[] = {0x01, 0x04, 0x00, static_cast<uint8_t>(4 + kNtsUidSize)};
        packet.insert(packet.end(), identifierHeader, identifierHeader + 4);
        packet.insert(packet.end(), uid, uid + kNtsUidSize);
        const uint8_t nonce[kNtsNonceSize] = {};
        std::vector<uint8_t> sealed;
        if (!platform::sivSeal(key, nonce, packet, rest, sealed)) __builtin_trap();
        std::vector<uint8_t> body = {0, static_cast<uint8_t>(kNtsNonceSize), static_cast<uint8_t>(sealed.size() >> 8),
                                     static_cast<uint8_t>(sealed.size())};
        body.insert(body.end(), nonce, nonce + kNtsNonceSize);
        body.insert(body.end(), sealed.begin(), sealed.end());
        body.resize((body.size() + 3) & ~size_t{3}, 0);
        const size_t length = 4 + body.size();
        if (length > 0xFFFF) return 0;
        const uint8_t authenticatorHeader[] = {0x04, 0x04, static_cast<uint8_t>(length >> 8),
                                               static_cast<uint8_t>(length)};
        packet.insert(packet.end(), authenticatorHeader, authenticatorHeader + 4);
        packet.insert(packet.end(), body.begin(), body.end());
        check = checkNtsReply(packet, uid, key);
        if (check.kind == NtsReplyKind::Refused && packet.size() <= kNtsMaxPacket && wellFormed &&
            check.refusal != "empty cookie" &&
            check.refusal != "cookie too long" && check.refusal != "too many cookies") {
            __builtin_trap();  // well-formed sealed fields must open
        }
    } else {
        check = checkNtsReply(rest, uid, key);
        if (check.kind == NtsReplyKind::Authentic && rest.size() < kNtpHeaderSize) __builtin_trap();
    }
    if (check.kind == NtsReplyKind::Authentic) {
        if (check.cookies.size() > kNtsMaxCookies) __builtin_trap();
        for (const auto& cookie : check.cookies) {
            if (cookie.empty() || cookie.size() > kNtsMaxCookieSize) __builtin_trap();
        }
    } else if (check.kind == NtsReplyKind::Refused && check.refusal.empty()) {
        __builtin_trap();
    }
#elif TAVREL_FUZZ_TARGET == 11
    // The kept NTS cookies file: bounded entries, each usable as read, and
    // what it writes again reads back the same.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const KeptNtsKeys kept = parseNtsCookieFile(text);
    if (kept.size() > kMaxNtsClients) __builtin_trap();
    for (const auto& [entry, keys] : kept) {
        if (keys.cookies.empty() || keys.cookies.size() > kNtsMaxCookies) __builtin_trap();
        for (const auto& cookie : keys.cookies) {
            if (cookie.empty() || cookie.size() > kNtsMaxCookieSize) __builtin_trap();
        }
        if (keys.ntpHost.empty() || keys.ntpPort == 0 || keys.aead != kNtsAeadAesSivCmac256 || keys.got == 0) {
            __builtin_trap();
        }
    }
    const KeptNtsKeys again = parseNtsCookieFile(formatNtsCookieFile(kept));
    if (again.size() != kept.size()) __builtin_trap();
    for (const auto& [entry, keys] : kept) {
        const auto found = again.find(entry);
        if (found == again.end() || found->second.cookies != keys.cookies || found->second.c2s != keys.c2s ||
            found->second.s2c != keys.s2c || found->second.ntpHost != keys.ntpHost ||
            found->second.ntpPort != keys.ntpPort || found->second.got != keys.got) {
            __builtin_trap();
        }
    }
#endif
    return 0;
}
