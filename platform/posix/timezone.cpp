#include "platform/timezone.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/file.h"
#include "platform/zone_rules.h"

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

std::string offsetText(int32_t biasMinutes) {
    const int32_t east = -biasMinutes;
    const int32_t magnitude = east < 0 ? -east : east;
    char text[32];
    std::snprintf(text, sizeof text, "(UTC%c%02d:%02d)", east < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return text;
}

}  // namespace

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
        name = zoneRuleAbbreviation(rule);
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
