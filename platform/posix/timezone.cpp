#include "platform/timezone.h"

#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/zone_rules.h"

namespace tavrel::platform {
namespace {

constexpr char kZoneDirectory[] = "/usr/share/zoneinfo/";
constexpr char kZoneTable[] = "/usr/share/zoneinfo/zone.tab";
constexpr char kSystemLocalTime[] = "/etc/localtime";
constexpr char kSystemZoneName[] = "/etc/timezone";
constexpr size_t kLargestZoneFile = 1 << 20;

bool seamActive() {
    const char* seam = std::getenv("TAVREL_LOCALTIME");
    return seam != nullptr && *seam != '\0';
}

std::string localTimePath() { return seamActive() ? std::getenv("TAVREL_LOCALTIME") : kSystemLocalTime; }

// Where the zone's name is written beside it (Debian's /etc/timezone; with
// the seam, "timezone" in the seam's folder).
std::string zoneNamePath() {
    if (!seamActive()) return kSystemZoneName;
    const std::string seam = localTimePath();
    const size_t cut = seam.find_last_of('/');
    return (cut == std::string::npos ? std::string() : seam.substr(0, cut + 1)) + "timezone";
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

// How good a name is for a zone: the tz database's own names (zone.tab)
// before its other Area/City names, before old names such as "GB".
int nameRank(const std::string& name) {
    static const std::set<std::string> canonical = [] {
        std::set<std::string> names;
        std::string table;
        if (readSmallFile(kZoneTable, table, kLargestZoneFile)) {
            size_t at = 0;
            while (at < table.size()) {
                const size_t end = table.find('\n', at);
                const std::string line = table.substr(at, end == std::string::npos ? std::string::npos : end - at);
                at = end == std::string::npos ? table.size() : end + 1;
                if (line.empty() || line[0] == '#') continue;
                // country code, coordinates, zone name, comments: tab separated
                const size_t first = line.find('\t');
                const size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
                if (second == std::string::npos) continue;
                const size_t third = line.find('\t', second + 1);
                names.insert(line.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1));
            }
        }
        return names;
    }();
    if (canonical.count(name) != 0) return 0;
    return name.find('/') != std::string::npos && name.rfind("Etc/", 0) != 0 ? 1 : 2;
}

// The tz-database name of the zone file that holds exactly these bytes:
// the name the system wrote beside the zone when it still fits, else the
// best name of a matching file; empty when no file matches. The last answer
// is kept, as the zone is looked at before every operation.
std::string zoneNameOfBytes(const std::string& bytes) {
    static std::mutex cacheMutex;
    static std::string cachedBytes;
    static std::string cachedNamed;
    static std::string cachedName;
    std::string named;
    if (readSmallFile(zoneNamePath(), named, 256)) named = trimmed(named);
    {
        std::lock_guard lock(cacheMutex);
        if (!cachedBytes.empty() && cachedBytes == bytes && cachedNamed == named) return cachedName;
    }
    std::string found;
    std::string candidate;
    {
        if (!named.empty() && named.find("..") == std::string::npos && named[0] != '/' &&
            readSmallFile(kZoneDirectory + named, candidate, kLargestZoneFile) && candidate == bytes) {
            found = named;
        }
    }
    if (found.empty()) {
        std::error_code error;
        const std::filesystem::path base(kZoneDirectory);
        for (std::filesystem::recursive_directory_iterator it(base, error), end; !error && it != end; it.increment(error)) {
            const std::string relative = it->path().lexically_relative(base).string();
            if (it->is_directory(error)) {
                if (relative == "posix" || relative == "right") it.disable_recursion_pending();
                continue;
            }
            if (!it->is_regular_file(error) || it->file_size(error) != bytes.size()) continue;
            if (!readSmallFile(it->path().string(), candidate, kLargestZoneFile) || candidate != bytes) continue;
            if (found.empty() || nameRank(relative) < nameRank(found) ||
                (nameRank(relative) == nameRank(found) && relative < found)) {
                found = relative;
            }
        }
    }
    std::lock_guard lock(cacheMutex);
    cachedBytes = bytes;
    cachedNamed = named;
    cachedName = found;
    return found;
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
    TimeZoneInformation zone;
    std::string abbreviation;
    bool read = false;
    if (readSmallFile(file, bytes, kLargestZoneFile)) {
        read = zoneFromFile(bytes, static_cast<int64_t>(time(nullptr)), zone, abbreviation);
        // A copy rather than a link: the tz database's file with the same bytes names it.
        if (read && name.empty()) name = zoneNameOfBytes(bytes);
    } else if (const char* tz = std::getenv("TZ"); tz != nullptr && !seamActive()) {
        read = parsePosixZoneRule(tz, zone);  // TZ holds a POSIX rule itself
        abbreviation = zoneRuleAbbreviation(tz);
    }
    if (!read) return TimeZoneResult::Failed;
    setZoneNameText(zone.standardName, name.empty() ? abbreviation : name);
    out = zone;
    if (zone.daylightDate.month == 0) return TimeZoneResult::NoDaylightSaving;
    // The phase by the offset in force: a zone whose rule runs its summer
    // time backwards (Dublin) is read the usual way round.
    tzset();
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    const long daylightOffset = -60L * (zone.bias + zone.daylightBias);
    return local.tm_gmtoff == daylightOffset ? TimeZoneResult::Daylight : TimeZoneResult::Standard;
}

namespace {

// Points the zone link at the tz database's file of that name, in one step
// (a new link beside it, renamed over it), and writes the name beside it.
bool relinkZone(const std::string& name) {
    const std::string target = kZoneDirectory + name;
    const std::string link = localTimePath();
    const std::string temporary = link + ".tavrel-new";
    (void)unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0) return false;
    if (rename(temporary.c_str(), link.c_str()) != 0) {
        (void)unlink(temporary.c_str());
        return false;
    }
    (void)writeFileReplacing(zoneNamePath(), name + "\n", FileReaders::Everyone);
    return true;
}

bool timedatedRuns() { return !seamActive() && directoryExists("/run/systemd/system"); }

enum class TimedatedAnswer { Set, Refused, Unreachable };

// How long timedated may take to answer: it may first have polkit ask the
// user for a password.
constexpr uint64_t kTimedatedWaitUs = 300'000'000;

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct BusErrorOwner {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusErrorOwner() { sd_bus_error_free(&error); }
};

// Asks timedated over the system bus to set the zone, letting polkit ask
// the user (interactive): Set, Refused (timedated answered no, for instance
// the user dismissed the prompt), or Unreachable (no bus, no timedated).
TimedatedAnswer setZoneThroughTimedated(const std::string& name) {
    sd_bus* opened = nullptr;
    if (sd_bus_open_system(&opened) < 0) return TimedatedAnswer::Unreachable;
    const std::unique_ptr<sd_bus, BusCloser> bus(opened);
    (void)sd_bus_set_allow_interactive_authorization(bus.get(), 1);
    (void)sd_bus_set_method_call_timeout(bus.get(), kTimedatedWaitUs);
    BusErrorOwner failure;
    const int interactive = 1;
    const int called = sd_bus_call_method(bus.get(), "org.freedesktop.timedate1", "/org/freedesktop/timedate1",
                                          "org.freedesktop.timedate1", "SetTimezone", &failure.error, nullptr,
                                          "sb", name.c_str(), interactive);
    if (called >= 0) return TimedatedAnswer::Set;
    for (const char* unreachable : {SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER,
                                    SD_BUS_ERROR_NO_REPLY, SD_BUS_ERROR_TIMEOUT, SD_BUS_ERROR_DISCONNECTED,
                                    SD_BUS_ERROR_UNKNOWN_METHOD, SD_BUS_ERROR_UNKNOWN_OBJECT,
                                    SD_BUS_ERROR_UNKNOWN_INTERFACE, SD_BUS_ERROR_NO_SERVER}) {
        if (sd_bus_error_has_name(&failure.error, unreachable)) return TimedatedAnswer::Unreachable;
    }
    // No error name at all: the connection itself failed.
    return sd_bus_error_is_set(&failure.error) ? TimedatedAnswer::Refused : TimedatedAnswer::Unreachable;
}

}  // namespace

bool setTimeZoneInformation(const TimeZoneInformation& zone) {
    const std::string name = zoneNameText(zone.standardName);
    if (name.empty() || name.find("..") != std::string::npos || name[0] == '/') return false;
    if (!fileReadable(kZoneDirectory + name)) return false;
    // systemd's timedated keeps /etc/localtime and /etc/timezone together
    // where it runs, asked over the bus; where it cannot be reached,
    // timedatectl is tried, then the link is set by hand. A refusal is
    // final: the user is not asked twice.
    bool set = false;
    const TimedatedAnswer answer = timedatedRuns() ? setZoneThroughTimedated(name) : TimedatedAnswer::Unreachable;
    if (answer == TimedatedAnswer::Set) {
        set = true;
    } else if (answer == TimedatedAnswer::Unreachable) {
        set = (timedatedRuns() && runProgram({"timedatectl", "set-timezone", name}) == 0) || relinkZone(name);
    }
    if (set) tzset();
    return set;
}

std::string timeZoneContents() {
    std::string name, file, bytes;
    zoneInForce(name, file);
    return readSmallFile(file, bytes, kLargestZoneFile) ? bytes : std::string();
}

bool setTimeZoneContents(const std::string& bytes) {
    if (bytes.empty()) return false;
    const std::string name = zoneNameOfBytes(bytes);
    if (!name.empty()) {
        TimeZoneInformation zone;
        setZoneNameText(zone.standardName, name);
        return setTimeZoneInformation(zone);
    }
    // No file of the tz database holds these rules: they are put back as
    // they were, a file of their own in place of the link.
    if (!writeFileReplacing(localTimePath(), bytes, FileReaders::Everyone)) return false;
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
