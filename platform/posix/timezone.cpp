#include "platform/timezone.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/file.h"

namespace tavrel::platform {
namespace {

constexpr char kZoneDirectory[] = "/usr/share/zoneinfo/";
constexpr char kSystemLocalTime[] = "/etc/localtime";
constexpr size_t kLargestZoneFile = 1 << 20;

std::string localTimePath() {
    const char* seam = std::getenv("TAVREL_LOCALTIME");
    return seam != nullptr && *seam != '\0' ? seam : kSystemLocalTime;
}

// The tz-database name a zone file path stands for, or empty.
std::string zoneNameOfPath(const std::string& path) {
    const std::string prefix = kZoneDirectory;
    size_t at = path.find(prefix);
    if (at == std::string::npos) return std::string();
    std::string name = path.substr(at + prefix.size());
    for (const char* variant : {"posix/", "right/"}) {
        if (name.rfind(variant, 0) == 0) name.erase(0, std::char_traits<char>::length(variant));
    }
    return name;
}

// The zone in force: its tz-database name (if known) and its file.
void zoneInForce(std::string& name, std::string& file) {
    const char* tz = std::getenv("TZ");
    const bool seam = std::getenv("TAVREL_LOCALTIME") != nullptr;
    if (tz != nullptr && *tz != '\0' && !seam) {
        std::string value = tz[0] == ':' ? tz + 1 : tz;
        if (!value.empty() && value[0] == '/') {
            file = value;
        } else {
            file = kZoneDirectory + value;
        }
        name = value[0] == '/' ? zoneNameOfPath(value) : value;
        return;
    }
    file = localTimePath();
    char target[PATH_MAX];
    const ssize_t n = readlink(file.c_str(), target, sizeof target - 1);
    name = n > 0 ? zoneNameOfPath(std::string(target, static_cast<size_t>(n))) : std::string();
}

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

std::string offsetText(int32_t biasMinutes) {
    const int32_t east = -biasMinutes;
    const int32_t magnitude = east < 0 ? -east : east;
    char text[32];
    std::snprintf(text, sizeof text, "(UTC%c%02d:%02d)", east < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return text;
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

TimeZoneResult getTimeZoneInformation(TimeZoneInformation& out) {
    std::string name, file;
    zoneInForce(name, file);
    std::string bytes;
    std::string rule;
    if (readSmallFile(file, bytes, kLargestZoneFile)) {
        rule = tzifFooter(bytes);
    } else if (const char* tz = std::getenv("TZ"); tz != nullptr && std::getenv("TAVREL_LOCALTIME") == nullptr) {
        rule = tz;  // TZ holds a POSIX rule itself
    }
    TimeZoneInformation zone;
    if (rule.empty() || !parsePosixZoneRule(rule, zone)) return TimeZoneResult::Failed;
    if (name.empty()) {
        size_t i = 0;
        std::string abbreviation;
        (void)parseAbbreviation(rule, i, abbreviation);
        name = abbreviation;
    }
    setZoneNameText(zone.standardName, name);
    out = zone;
    if (zone.daylightDate.month == 0) return TimeZoneResult::NoDaylightSaving;
    tzset();
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return local.tm_isdst > 0 ? TimeZoneResult::Daylight : TimeZoneResult::Standard;
}

bool setTimeZoneInformation(const TimeZoneInformation& zone) {
    const std::string name = zoneNameText(zone.standardName);
    if (name.empty() || name.find("..") != std::string::npos || name[0] == '/') return false;
    const std::string target = kZoneDirectory + name;
    if (!fileReadable(target)) return false;
    // Replace the link in one step: a new link beside it, renamed over it.
    const std::string link = localTimePath();
    const std::string temporary = link + ".tavrel-new";
    (void)unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0) return false;
    if (rename(temporary.c_str(), link.c_str()) != 0) {
        (void)unlink(temporary.c_str());
        return false;
    }
    tzset();
    return true;
}

std::string timeZoneDisplayName(const TimeZoneInformation& zone) {
    const std::string name = zoneNameText(zone.standardName);
    if (name.empty() || !fileReadable(kZoneDirectory + name)) return std::string();
    return offsetText(zone.bias) + " " + name;
}

void applyLocalTimeSeam() {
    const char* seam = std::getenv("TAVREL_LOCALTIME");
    if (seam == nullptr || *seam == '\0') return;
    setenv("TZ", (std::string(":") + seam).c_str(), 1);
    tzset();
}

}  // namespace tavrel::platform
