// The POSIX TZ rules and the TZif footer they come in, read into the
// TIME_ZONE_INFORMATION record's terms, and the record's name fields.
// Pure text handling, the same on every platform.
#include "platform/zone_rules.h"

#include <cctype>
#include <string>

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
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) v = v * 10 + (s[i++] - '0');
        parts[p] = v;
    }
    seconds = sign * (parts[0] * 3600 + parts[1] * 60 + parts[2]);
    return true;
}

// Mm.w.d[/time] as a yearly rule; other rule forms are not taken.
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
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) v = v * 10 + (s[i++] - '0');
        fields[f] = v;
    }
    if (fields[0] < 1 || fields[0] > 12 || fields[1] < 1 || fields[1] > 5 || fields[2] > 6) return false;
    long at = 2 * 3600;
    if (i < s.size() && s[i] == '/' && !parseClock(s, ++i, at)) return false;
    // The record holds a time of day; rules past midnight either side are
    // held at the day's ends.
    if (at < 0) at = 0;
    if (at > 23 * 3600 + 59 * 60 + 59) at = 23 * 3600 + 59 * 60 + 59;
    out = SystemTime{};
    out.month = static_cast<uint16_t>(fields[0]);
    out.day = static_cast<uint16_t>(fields[1]);
    out.dayOfWeek = static_cast<uint16_t>(fields[2]);
    out.hour = static_cast<uint16_t>(at / 3600);
    out.minute = static_cast<uint16_t>(at / 60 % 60);
    out.second = static_cast<uint16_t>(at % 60);
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
    setZoneNameText(out.daylightName, daylight);
    out.daylightDate = start;
    out.standardDate = end;
    out.daylightBias = static_cast<int32_t>((daylightOffset - standardOffset) / 60);
    return true;
}

std::string zoneRuleAbbreviation(const std::string& rule) {
    size_t i = 0;
    std::string abbreviation;
    (void)parseAbbreviation(rule, i, abbreviation);
    return abbreviation;
}

}  // namespace tavrel::platform
