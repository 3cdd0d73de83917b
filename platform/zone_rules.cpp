// The POSIX TZ rules and the TZif footer they come in, read into the
// TIME_ZONE_INFORMATION record's terms, and the record's name fields.
// Pure text handling, the same on every platform.
#include "platform/zone_rules.h"

#include <cctype>
#include <string>
#include <vector>

#include "platform/time.h"
#include "platform/timezone.h"

namespace tavrel::platform {
namespace {

bool isZoneNameChar(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

// A zone abbreviation: letters, or anything between < and >.
bool parseAbbreviation(const std::string& s, size_t& i, std::string& out) {
    out.clear();
    if (i < s.size() && s[i] == '<') {
        const size_t end = s.find('>', i);
        if (end == std::string::npos) return false;
        out = s.substr(i + 1, end - i - 1);
        i = end + 1;
        return !out.empty();
    }
    while (i < s.size() && isZoneNameChar(s[i])) out += s[i++];
    return out.size() >= 3;
}

// [+-]hh[:mm[:ss]] as seconds.
bool parseClock(const std::string& s, size_t& i, long& seconds) {
    int sign = 1;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) sign = s[i++] == '-' ? -1 : 1;
    long parts[3] = {0, 0, 0};
    for (int p = 0; p < 3; ++p) {
        if (p > 0) {
            if (i >= s.size() || s[i] != ':') break;
            ++i;
        }
        if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
        long v = 0;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
            if (v < 100'000) v = v * 10 + (s[i] - '0');
            ++i;
        }
        parts[p] = v;
    }
    seconds = sign * (parts[0] * 3600 + parts[1] * 60 + parts[2]);
    return true;
}

// The farthest a zone's offset from UTC may lie, in seconds.
constexpr long kLongestOffset = 24 * 3600;

// The longest time of day a rule may give, either side of midnight (POSIX
// allows -167 to 167 hours: "M3.4.4/26" is the Friday after the fourth
// Thursday at 02:00).
constexpr long kLongestRuleTime = 167 * 3600 + 59 * 60 + 59;

// Mm.w.d[/time] as a yearly rule; other rule forms are not taken. The
// record's hour holds the signed hours of the time (as a 16-bit two's
// complement), its minute and second the rest.
bool parseTransition(const std::string& s, size_t& i, SystemTime& out) {
    if (i >= s.size() || s[i] != 'M') return false;
    ++i;
    long fields[3] = {0, 0, 0};
    for (int f = 0; f < 3; ++f) {
        if (f > 0) {
            if (i >= s.size() || s[i] != '.') return false;
            ++i;
        }
        if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
        long v = 0;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])) && v < 1000) v = v * 10 + (s[i++] - '0');
        fields[f] = v;
    }
    if (fields[0] < 1 || fields[0] > 12 || fields[1] < 1 || fields[1] > 5 || fields[2] > 6) return false;
    long at = 2 * 3600;
    if (i < s.size() && s[i] == '/' && !parseClock(s, ++i, at)) return false;
    if (at < -kLongestRuleTime || at > kLongestRuleTime) return false;
    const long magnitude = at < 0 ? -at : at;
    out = SystemTime{};
    out.month = static_cast<uint16_t>(fields[0]);
    out.day = static_cast<uint16_t>(fields[1]);
    out.dayOfWeek = static_cast<uint16_t>(fields[2]);
    out.hour = static_cast<uint16_t>(static_cast<int16_t>(at / 3600));
    out.minute = static_cast<uint16_t>(magnitude / 60 % 60);
    out.second = static_cast<uint16_t>(magnitude % 60);
    return true;
}

}  // namespace

std::string zoneNameText(const char16_t (&name)[32]) {
    std::string text;
    for (char16_t c : name) {
        if (c == 0) break;
        text += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return text;
}

void setZoneNameText(char16_t (&name)[32], const std::string& text) {
    size_t i = 0;
    for (; i < text.size() && i < 31; ++i) name[i] = static_cast<unsigned char>(text[i]);
    for (; i < 32; ++i) name[i] = 0;
}

std::string tzifFooter(const std::string& bytes) {
    if (bytes.size() < 44 || bytes.compare(0, 4, "TZif") != 0 || bytes[4] < '2') return std::string();
    // The footer is the last line, between the last two newlines.
    if (bytes.back() != '\n') return std::string();
    const size_t start = bytes.rfind('\n', bytes.size() - 2);
    if (start == std::string::npos) return std::string();
    return bytes.substr(start + 1, bytes.size() - start - 2);
}

bool parsePosixZoneRule(const std::string& rule, TimeZoneInformation& out) {
    size_t i = 0;
    std::string standard, daylight;
    long standardOffset = 0;
    if (!parseAbbreviation(rule, i, standard) || !parseClock(rule, i, standardOffset)) return false;
    if (standardOffset < -kLongestOffset || standardOffset > kLongestOffset) return false;
    out.bias = static_cast<int32_t>(standardOffset / 60);
    out.standardBias = 0;
    out.standardDate = SystemTime{};
    out.daylightDate = SystemTime{};
    out.daylightBias = 0;
    if (i >= rule.size()) {
        setZoneNameText(out.daylightName, standard);
        return true;
    }
    if (!parseAbbreviation(rule, i, daylight)) return false;
    long daylightOffset = standardOffset - 3600;
    if (i < rule.size() && rule[i] != ',' && !parseClock(rule, i, daylightOffset)) return false;
    if (daylightOffset < -kLongestOffset || daylightOffset > kLongestOffset) return false;
    // Summer time a day or more from standard time is no rule of this world.
    if (daylightOffset - standardOffset >= kLongestOffset || standardOffset - daylightOffset >= kLongestOffset) {
        return false;
    }
    SystemTime start{}, end{};
    if (i < rule.size() && rule[i] == ',') {
        ++i;
        if (!parseTransition(rule, i, start) || i >= rule.size() || rule[i] != ',') return false;
        ++i;
        if (!parseTransition(rule, i, end)) return false;
    } else {
        size_t d = 0;
        const std::string usRule = "M3.2.0,M11.1.0";
        (void)parseTransition(usRule, d, start);
        d += 1;
        (void)parseTransition(usRule, d, end);
    }
    if (daylightOffset > standardOffset) {
        // Negative summer time (Dublin's "IST-1GMT0,..."): the rule's winter
        // part is its "daylight" one. Taken the usual way round, the zone's
        // own time is the winter one and summer time an hour ahead of it.
        out.bias = static_cast<int32_t>(daylightOffset / 60);
        setZoneNameText(out.daylightName, standard);
        out.daylightDate = end;
        out.standardDate = start;
        out.daylightBias = static_cast<int32_t>((standardOffset - daylightOffset) / 60);
        return true;
    }
    setZoneNameText(out.daylightName, daylight);
    out.daylightDate = start;
    out.standardDate = end;
    out.daylightBias = static_cast<int32_t>((daylightOffset - standardOffset) / 60);
    return true;
}

namespace {

constexpr size_t kTzifHeaderSize = 44;
constexpr size_t kTypeSize = 6;

int32_t bigEndian32(const std::string& bytes, size_t at) {
    return static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) << 24) |
                                (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 16) |
                                (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 8) |
                                static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])));
}

struct LocalTimeType {
    int32_t offset = 0;  // seconds east of UTC
    bool daylight = false;
    std::string abbreviation;
};

// Seconds since 1970 as a calendar time (false outside the calendar's range).
bool calendarOf(int64_t unixSeconds, SystemTime& out) {
    const int64_t units = unixSeconds * static_cast<int64_t>(kFileTimeUnitsPerSecond);
    const int64_t since1601 = static_cast<int64_t>(kFileTime1970) + units;
    return since1601 >= 0 && fileTimeToSystemTime(static_cast<FileTime>(since1601), out);
}

}  // namespace

bool zoneFromFile(const std::string& bytes, int64_t now, TimeZoneInformation& out, std::string& abbreviation) {
    const std::string rule = tzifFooter(bytes);
    if (!rule.empty() && parsePosixZoneRule(rule, out)) {
        abbreviation = zoneRuleAbbreviation(rule);
        if (out.daylightDate.month != 0) return true;
        TimeZoneInformation fromTransitions;
        std::string fromTransitionsAbbreviation;
        if (zoneFromTransitions(bytes, now, fromTransitions, fromTransitionsAbbreviation) &&
            fromTransitions.daylightDate.month != 0) {
            out = fromTransitions;
            abbreviation = fromTransitionsAbbreviation;
        }
        return true;
    }
    // Version 1 files, and later ones without a rule: their transitions.
    return zoneFromTransitions(bytes, now, out, abbreviation);
}

bool zoneFromTransitions(const std::string& bytes, int64_t now, TimeZoneInformation& out, std::string& abbreviation) {
    if (bytes.size() < kTzifHeaderSize || bytes.compare(0, 4, "TZif") != 0) return false;
    const int64_t isutcCount = static_cast<uint32_t>(bigEndian32(bytes, 20));
    const int64_t isstdCount = static_cast<uint32_t>(bigEndian32(bytes, 24));
    const int64_t leapCount = static_cast<uint32_t>(bigEndian32(bytes, 28));
    const int64_t timeCount = static_cast<uint32_t>(bigEndian32(bytes, 32));
    const int64_t typeCount = static_cast<uint32_t>(bigEndian32(bytes, 36));
    const int64_t charCount = static_cast<uint32_t>(bigEndian32(bytes, 40));
    const int64_t needed = static_cast<int64_t>(kTzifHeaderSize) + timeCount * 5 + typeCount * 6 + charCount +
                           leapCount * 8 + isstdCount + isutcCount;
    if (typeCount < 1 || typeCount > 256 || timeCount > 100'000 || charCount > 1000 ||
        needed > static_cast<int64_t>(bytes.size())) {
        return false;
    }
    const size_t times = kTzifHeaderSize;
    const size_t indices = times + static_cast<size_t>(timeCount) * 4;
    const size_t typesAt = indices + static_cast<size_t>(timeCount);
    const size_t chars = typesAt + static_cast<size_t>(typeCount) * kTypeSize;
    std::vector<LocalTimeType> types;
    for (int64_t t = 0; t < typeCount; ++t) {
        const size_t at = typesAt + static_cast<size_t>(t) * kTypeSize;
        LocalTimeType type;
        type.offset = bigEndian32(bytes, at);
        type.daylight = bytes[at + 4] != 0;
        const size_t name = static_cast<uint8_t>(bytes[at + 5]);
        if (name < static_cast<size_t>(charCount)) {
            for (size_t c = chars + name; c < chars + static_cast<size_t>(charCount) && bytes[c] != '\0'; ++c) {
                type.abbreviation += bytes[c];
            }
        }
        if (type.offset < -kLongestOffset || type.offset > kLongestOffset) return false;
        types.push_back(type);
    }
    auto typeAt = [&](int64_t i) -> const LocalTimeType* {
        const size_t index = static_cast<uint8_t>(bytes[indices + static_cast<size_t>(i)]);
        return index < types.size() ? &types[index] : nullptr;
    };
    auto timeAt = [&](int64_t i) { return static_cast<int64_t>(bigEndian32(bytes, times + static_cast<size_t>(i) * 4)); };

    // The first standard-time type stands for the time before the first change.
    const LocalTimeType* first = &types[0];
    for (const LocalTimeType& t : types) {
        if (!t.daylight) {
            first = &t;
            break;
        }
    }
    const LocalTimeType* current = first;
    const LocalTimeType* standard = first;
    for (int64_t i = 0; i < timeCount && timeAt(i) <= now; ++i) {
        const LocalTimeType* type = typeAt(i);
        if (type == nullptr) return false;
        current = type;
        if (!type->daylight) standard = type;
    }
    if (!current->daylight) standard = current;

    // This year's changes into and out of summer time, as the local times
    // (by the time before each change) at which they happen.
    SystemTime today{};
    if (!calendarOf(now, today)) return false;
    SystemTime yearStart{};
    yearStart.year = today.year;
    yearStart.month = 1;
    yearStart.day = 1;
    FileTime yearStartFt = 0;
    if (!systemTimeToFileTime(yearStart, yearStartFt)) return false;
    const int64_t from = (static_cast<int64_t>(yearStartFt) - static_cast<int64_t>(kFileTime1970)) /
                         static_cast<int64_t>(kFileTimeUnitsPerSecond);
    const int64_t to = from + 366LL * 86'400;
    SystemTime into{}, outOf{};
    const LocalTimeType* summer = nullptr;
    const LocalTimeType* before = first;
    for (int64_t i = 0; i < timeCount; ++i) {
        const LocalTimeType* type = typeAt(i);
        if (type == nullptr) return false;
        const int64_t when = timeAt(i);
        if (when >= from && when < to) {
            SystemTime local{};
            if (calendarOf(when + before->offset, local)) {
                if (type->daylight && !before->daylight && into.month == 0) {
                    into = local;
                    summer = type;
                } else if (!type->daylight && before->daylight && outOf.month == 0) {
                    outOf = local;
                }
            }
        }
        before = type;
    }
    out = TimeZoneInformation{};
    abbreviation = standard->abbreviation;
    if (summer != nullptr && outOf.month != 0) {
        const int32_t shift = summer->offset - standard->offset;
        if (shift >= kLongestOffset || shift <= -kLongestOffset) return false;
        out.bias = -standard->offset / 60;
        out.daylightBias = -(summer->offset - standard->offset) / 60;
        out.daylightDate = into;
        out.standardDate = outOf;
        setZoneNameText(out.daylightName, summer->abbreviation);
    } else {
        out.bias = -current->offset / 60;
        setZoneNameText(out.daylightName, current->abbreviation);
        abbreviation = current->abbreviation;
    }
    setZoneNameText(out.standardName, abbreviation);
    return true;
}

std::string zoneRuleAbbreviation(const std::string& rule) {
    size_t i = 0;
    std::string abbreviation;
    (void)parseAbbreviation(rule, i, abbreviation);
    return abbreviation;
}

}  // namespace tavrel::platform
