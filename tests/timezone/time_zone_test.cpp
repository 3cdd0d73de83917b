#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "gui/dialog.h"
#include "gui/dialog_testing.h"
#include "platform/timezone.h"
#include "resources/dialogs.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_values.h"
#include "timezone/time_zone.h"
#include "tests/support/modal_helper.h"
#include "ui/time_zone_dialog.h"
#include "tests/support/environment.h"

namespace tavrel {
namespace {

using test::makeTime;

class ZoneTexts : public ::testing::Test {
protected:
    void SetUp() override {
        stringTable() = StringTable{};
        ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
    }
};

TEST_F(ZoneTexts, BiasTexts) {
    EXPECT_EQ(formatBias(600), "+ 10 Hrs");
    EXPECT_EQ(formatBias(570), "+ 9 Hrs 30 Mns");
    EXPECT_EQ(formatBias(-300), "- 5 Hrs");
    EXPECT_EQ(formatBias(-60), "- 1 Hr");
    EXPECT_EQ(formatBias(61), "+ 1 Hr 1 Mn");
    EXPECT_EQ(formatBias(30), "+  30 Mns");
    EXPECT_EQ(formatBias(0), "None");
}

TEST_F(ZoneTexts, YearlyRulesFindTheirDay) {
    platform::SystemTime secondSundayOfMarch{};
    secondSundayOfMarch.month = 3;
    secondSundayOfMarch.day = 2;
    secondSundayOfMarch.dayOfWeek = 0;
    platform::SystemTime date = transitionDate(secondSundayOfMarch, makeTime(2010, 1, 15));
    EXPECT_EQ(date.year, 2010);
    EXPECT_EQ(date.month, 3);
    EXPECT_EQ(date.day, 14);

    platform::SystemTime lastThursdayOfFebruary{};
    lastThursdayOfFebruary.month = 2;
    lastThursdayOfFebruary.day = 5;
    lastThursdayOfFebruary.dayOfWeek = 4;
    date = transitionDate(lastThursdayOfFebruary, makeTime(2024, 1, 15));
    EXPECT_EQ(date.month, 2);
    EXPECT_EQ(date.day, 29);

    platform::SystemTime lastSundayOfOctober{};
    lastSundayOfOctober.month = 10;
    lastSundayOfOctober.day = 5;
    lastSundayOfOctober.dayOfWeek = 0;
    lastSundayOfOctober.hour = 3;
    date = transitionDate(lastSundayOfOctober, makeTime(2024, 6, 15));
    EXPECT_EQ(date.year, 2024);
    EXPECT_EQ(date.month, 10);
    EXPECT_EQ(date.day, 27);
    EXPECT_EQ(date.hour, 3);
    EXPECT_EQ(formatTransition(lastSundayOfOctober, makeTime(2024, 6, 15)), "03:00:00 27 Oct 2024");
}

TEST_F(ZoneTexts, RulesOfPastMonthsFallInTheNextYear) {
    platform::SystemTime firstSundayOfApril{};
    firstSundayOfApril.month = 4;
    firstSundayOfApril.day = 1;
    const platform::SystemTime date = transitionDate(firstSundayOfApril, makeTime(2026, 12, 7));
    EXPECT_EQ(date.year, 2027);
    EXPECT_EQ(date.day, 4);
}

TEST_F(ZoneTexts, NoTransitionReadsNone) {
    EXPECT_EQ(formatTransition(platform::SystemTime{}, makeTime(2026, 1, 1)), "None");
    // A damaged record (day of week 7) reads None instead of searching for ever.
    platform::SystemTime damaged{};
    damaged.month = 3;
    damaged.day = 2;
    damaged.dayOfWeek = 7;
    EXPECT_EQ(transitionDate(damaged, makeTime(2026, 1, 1)).month, 0);
    EXPECT_EQ(formatTransition(damaged, makeTime(2026, 1, 1)), "None");
}

// Rule times beyond the day's ends move the date: Jerusalem's "fourth
// Thursday at 26:00" is the Friday after it at 02:00; Nuuk's "last Sunday
// at -1:00" is the Saturday before it at 23:00.
TEST_F(ZoneTexts, RuleTimesBeyondTheDayMoveTheDate) {
    platform::TimeZoneInformation jerusalem;
    ASSERT_TRUE(platform::parsePosixZoneRule("IST-2IDT,M3.4.4/26,M10.5.0", jerusalem));
    const platform::SystemTime start = transitionDate(jerusalem.daylightDate, makeTime(2026, 1, 15));
    EXPECT_EQ(start.month, 3);
    EXPECT_EQ(start.day, 27);  // Thursday the 26th, plus 26 hours
    EXPECT_EQ(start.dayOfWeek, 5);
    EXPECT_EQ(start.hour, 2);

    platform::TimeZoneInformation nuuk;
    ASSERT_TRUE(platform::parsePosixZoneRule("<-02>2<-01>,M3.5.0/-1,M10.5.0/0", nuuk));
    const platform::SystemTime spring = transitionDate(nuuk.daylightDate, makeTime(2026, 1, 15));
    EXPECT_EQ(spring.day, 28);  // the last Sunday is the 29th
    EXPECT_EQ(spring.dayOfWeek, 6);
    EXPECT_EQ(spring.hour, 23);
    EXPECT_FALSE(platform::parsePosixZoneRule("X1Y,M3.5.0/168,M10.5.0", nuuk));
}

// Dublin's rule runs its summer time backwards ("IST-1GMT0,M10.5.0,M3.5.0/1"):
// read the usual way round, its own time is GMT and summer time an hour on.
TEST(PosixRules, NegativeSummerTimeIsTurnedRoundTheUsualWay) {
    platform::TimeZoneInformation dublin;
    ASSERT_TRUE(platform::parsePosixZoneRule("IST-1GMT0,M10.5.0,M3.5.0/1", dublin));
    EXPECT_EQ(dublin.bias, 0);
    EXPECT_EQ(dublin.daylightBias, -60);
    EXPECT_EQ(platform::zoneNameText(dublin.daylightName), "IST");
    EXPECT_EQ(dublin.daylightDate.month, 3);
    EXPECT_EQ(dublin.daylightDate.hour, 1);
    EXPECT_EQ(dublin.standardDate.month, 10);
}

TEST(PosixRules, SouthernZoneWithDaylightSaving) {
    platform::TimeZoneInformation zone;
    ASSERT_TRUE(platform::parsePosixZoneRule("AEST-10AEDT,M10.1.0,M4.1.0/3", zone));
    EXPECT_EQ(zone.bias, -600);
    EXPECT_EQ(zone.daylightBias, -60);
    EXPECT_EQ(platform::zoneNameText(zone.daylightName), "AEDT");
    EXPECT_EQ(zone.daylightDate.month, 10);
    EXPECT_EQ(zone.daylightDate.day, 1);
    EXPECT_EQ(zone.daylightDate.hour, 2);
    EXPECT_EQ(zone.standardDate.month, 4);
    EXPECT_EQ(zone.standardDate.hour, 3);
}

TEST(PosixRules, ZonesWithoutDaylightSavingAndQuotedNames) {
    platform::TimeZoneInformation zone;
    ASSERT_TRUE(platform::parsePosixZoneRule("JST-9", zone));
    EXPECT_EQ(zone.bias, -540);
    EXPECT_EQ(zone.daylightDate.month, 0);
    ASSERT_TRUE(platform::parsePosixZoneRule("<+0530>-5:30", zone));
    EXPECT_EQ(zone.bias, -330);
    ASSERT_TRUE(platform::parsePosixZoneRule("EST5EDT,M3.2.0,M11.1.0", zone));
    EXPECT_EQ(zone.bias, 300);
    EXPECT_EQ(zone.daylightDate.day, 2);
    EXPECT_FALSE(platform::parsePosixZoneRule("", zone));
    EXPECT_FALSE(platform::parsePosixZoneRule("X1", zone));
}

int64_t unixOf(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    const platform::FileTime ft =
        test::fileTimeOf(static_cast<uint16_t>(year), static_cast<uint16_t>(month), static_cast<uint16_t>(day),
                         static_cast<uint16_t>(hour), static_cast<uint16_t>(minute), static_cast<uint16_t>(second));
    return static_cast<int64_t>((ft - platform::kFileTime1970) / platform::kFileTimeUnitsPerSecond);
}

// The changes zdump finds in a zone in a year: into summer time and out
// of it, each as the local time (by the offset before it) of the change.
struct ZdumpChanges {
    platform::SystemTime into{}, outOf{};
};
ZdumpChanges zdumpChanges(const std::string& zone, int year) {
    ZdumpChanges changes;
    const std::string command = "zdump -v -c " + std::to_string(year) + "," + std::to_string(year + 1) + " " + zone;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return changes;
    char line[512];
    int lastDst = -1;
    long lastOffset = 0;
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        char month[4] = {};
        int day = 0, hour = 0, minute = 0, second = 0, y = 0, dst = 0;
        long offset = 0;
        const char* ut = std::strstr(line, "  ");
        if (ut == nullptr) continue;
        const char* isdst = std::strstr(line, "isdst=");
        const char* gmtoff = std::strstr(line, "gmtoff=");
        if (isdst == nullptr || gmtoff == nullptr) continue;
        if (std::sscanf(ut, " %*s %3s %d %d:%d:%d %d UT", month, &day, &hour, &minute, &second, &y) != 6) continue;
        dst = std::atoi(isdst + 6);
        offset = std::atol(gmtoff + 7);
        if (lastDst >= 0 && dst != lastDst && second == 0) {
            static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
            int m = 0;
            while (m < 12 && std::string(kMonths[m]) != month) ++m;
            const std::time_t when = static_cast<std::time_t>(unixOf(y, m + 1, day, hour, minute, second) + lastOffset);
            std::tm local{};
            gmtime_r(&when, &local);
            platform::SystemTime& change = dst != 0 ? changes.into : changes.outOf;
            change.year = static_cast<uint16_t>(local.tm_year + 1900);
            change.month = static_cast<uint16_t>(local.tm_mon + 1);
            change.day = static_cast<uint16_t>(local.tm_mday);
            change.hour = static_cast<uint16_t>(local.tm_hour);
        }
        lastDst = dst;
        lastOffset = offset;
    }
    pclose(pipe);
    return changes;
}

// Casablanca's rule in the file's footer is a fixed +01, but its
// transitions take it to +00 through Ramadan each year: the zone follows
// the transitions for the years they cover, as zdump does.
TEST(ZoneFile, TransitionsBeyondARuleWithoutChangesAreFollowed) {
    const std::string bytes = test::readFile("/usr/share/zoneinfo/Africa/Casablanca");
    if (bytes.empty()) GTEST_SKIP() << "no Africa/Casablanca here";
    for (int year : {2026, 2027}) {
        const ZdumpChanges expected = zdumpChanges("Africa/Casablanca", year);
        ASSERT_NE(expected.into.month, 0) << "zdump found no change in " << year;
        platform::TimeZoneInformation zone;
        std::string abbreviation;
        const int64_t midYear = unixOf(year, 6, 1);
        ASSERT_TRUE(platform::zoneFromFile(bytes, midYear, zone, abbreviation));
        EXPECT_EQ(zone.bias, -60) << year;
        EXPECT_EQ(zone.bias + zone.daylightBias, 0) << year;
        EXPECT_EQ(zone.daylightDate.month, expected.into.month) << year;
        EXPECT_EQ(zone.daylightDate.day, expected.into.day) << year;
        EXPECT_EQ(zone.daylightDate.hour, expected.into.hour) << year;
        EXPECT_EQ(zone.standardDate.month, expected.outOf.month) << year;
        EXPECT_EQ(zone.standardDate.day, expected.outOf.day) << year;
        EXPECT_EQ(zone.standardDate.hour, expected.outOf.hour) << year;
    }
    // A zone whose rule has its changes keeps the rule.
    platform::TimeZoneInformation berlin;
    std::string abbreviation;
    ASSERT_TRUE(platform::zoneFromFile(test::readFile("/usr/share/zoneinfo/Europe/Berlin"),
                                       unixOf(2026, 6, 1), berlin, abbreviation));
    EXPECT_EQ(berlin.daylightDate.year, 0);
    EXPECT_EQ(berlin.daylightDate.day, 5);  // the last Sunday
}

// Zones from the system's tz database, through a link of the test's own.
class ZoneFiles : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetProcessState(dir.path(), dir.path());
        ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
        applyDefaults();
        settings.logSyncs.store(true);
        link = dir.file("localtime");
        test::setEnv("TAVREL_LOCALTIME", link);
        platform::applyLocalTimeSeam();
        gui::testing::resetDialogManager();
        window = gui::createDialog(kMainDialog, nullptr);
    }
    void TearDown() override {
        test::unsetEnv("TAVREL_LOCALTIME");
        test::unsetEnv("TZ");
        tzset();
        gui::testing::resetDialogManager();
    }
    void pointAt(const std::string& zone) {
        unlink(link.c_str());
        ASSERT_EQ(symlink(("/usr/share/zoneinfo/" + zone).c_str(), link.c_str()), 0);
    }
    // A copy of a zone's file in place of the link.
    void copyIn(const std::string& bytes) {
        unlink(link.c_str());
        test::writeFile(link, bytes);
    }
    // Tokyo's rules under an abbreviation no zone has: no file matches them.
    static std::string foreignZone() {
        std::string bytes = test::readFile("/usr/share/zoneinfo/Asia/Tokyo");
        for (size_t at = bytes.find("JST"); at != std::string::npos; at = bytes.find("JST", at)) bytes[at] = 'X';
        return bytes;
    }
    std::string target() {
        char buffer[512];
        const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }
    test::TempDir dir;
    std::string link;
    gui::WindowHandle window = gui::kNoWindow;
};

TEST_F(ZoneFiles, SydneyHasDaylightSavingAndItsName) {
    pointAt("Australia/Sydney");
    platform::TimeZoneInformation zone;
    const platform::TimeZoneResult result = platform::getTimeZoneInformation(zone);
    ASSERT_TRUE(result == platform::TimeZoneResult::Standard || result == platform::TimeZoneResult::Daylight);
    EXPECT_EQ(platform::zoneNameText(zone.standardName), "Australia/Sydney");
    EXPECT_EQ(zone.bias, -600);
    EXPECT_EQ(zone.daylightDate.month, 10);  // southern: daylight saving from October
    const std::optional<std::string> caption = refreshTimeZone();
    EXPECT_EQ(timeZoneDisplayName(), "(UTC+10:00) Australia/Sydney");
    ASSERT_TRUE(caption.has_value());
    EXPECT_TRUE(*caption == "Tavrel 1.5 - Australia/Sydney" || *caption == "Tavrel 1.5 - AEDT") << *caption;
}

TEST_F(ZoneFiles, BerlinIsANorthernZone) {
    pointAt("Europe/Berlin");
    platform::TimeZoneInformation zone;
    ASSERT_NE(platform::getTimeZoneInformation(zone), platform::TimeZoneResult::Failed);
    EXPECT_EQ(zone.bias, -60);
    EXPECT_EQ(zone.daylightDate.month, 3);
    EXPECT_EQ(zone.standardDate.month, 10);
}

TEST_F(ZoneFiles, TokyoHasNoDaylightSaving) {
    pointAt("Asia/Tokyo");
    platform::TimeZoneInformation zone;
    EXPECT_EQ(platform::getTimeZoneInformation(zone), platform::TimeZoneResult::NoDaylightSaving);
    refreshTimeZoneCaption(window);
    // Always standard time, never "Daylight".
    EXPECT_EQ(timeZonePhase.load(), 0);
    EXPECT_EQ(gui::windowText(window), "Tavrel 1.5 - Asia/Tokyo");
    EXPECT_EQ(formatTransition(lockedTimeZone().standardDate, makeTime(2026, 1, 1)), "None");
    EXPECT_EQ(formatTransition(lockedTimeZone().daylightDate, makeTime(2026, 1, 1)), "None");
}

TEST_F(ZoneFiles, LockRestoresAChangedZoneAndLogsIt) {
    pointAt("Australia/Sydney");
    refreshTimeZone();
    settings.timeZoneLocked.store(true);
    pointAt("Europe/Berlin");  // changed outside the program
    refreshTimeZone();
    EXPECT_EQ(target(), "/usr/share/zoneinfo/Australia/Sydney");
    EXPECT_EQ(lockedTimeZone().bias, -600);
    EXPECT_NE(test::readFile(dir.file("dLog.txt")).find(" : Time Zone Restored\r\n"), std::string::npos);
}

TEST_F(ZoneFiles, SameBiasIsNotUndone) {
    pointAt("Europe/Berlin");
    refreshTimeZone();
    settings.timeZoneLocked.store(true);
    pointAt("Europe/Paris");
    refreshTimeZone();
    EXPECT_EQ(target(), "/usr/share/zoneinfo/Europe/Paris");
    EXPECT_EQ(platform::zoneNameText(lockedTimeZone().standardName), "Europe/Paris");
    EXPECT_FALSE(test::fileExists(dir.file("dLog.txt")));
}

TEST_F(ZoneFiles, UnlockedLooksFollowTheZone) {
    pointAt("Europe/Berlin");
    refreshTimeZone();
    pointAt("Asia/Tokyo");
    refreshTimeZone();
    EXPECT_EQ(lockedTimeZone().bias, -540);
    EXPECT_EQ(target(), "/usr/share/zoneinfo/Asia/Tokyo");
}

TEST_F(ZoneFiles, TheServiceHasNoCaption) {
    pointAt("Asia/Tokyo");
    std::optional<std::string> caption;
    {
        const test::ScopedWord service(serviceMode, 1);
        caption = refreshTimeZone();
    }
    EXPECT_FALSE(caption.has_value()) << *caption;
    EXPECT_EQ(lockedTimeZone().bias, -540);
}

TEST_F(ZoneFiles, MissingNameKeepsThePreviousDisplayName) {
    setTimeZoneDisplayName("earlier name");
    copyIn(foreignZone());
    refreshTimeZone();
    EXPECT_EQ(timeZoneDisplayName(), "earlier name");
    EXPECT_EQ(lockedTimeZone().bias, -540);
}

// A copy of a zone's file, not a link, is named by the tz database's file
// with the same bytes (or the name written beside it, when it fits), and
// the lock puts that zone back, not one named by its abbreviation (London
// as GMT would be an hour wrong half the year).
TEST_F(ZoneFiles, CopiedLondonIsNamedAndRestoredByItsName) {
    copyIn(test::readFile("/usr/share/zoneinfo/Europe/London"));
    refreshTimeZone();
    EXPECT_EQ(platform::zoneNameText(lockedTimeZone().standardName), "Europe/London");
    EXPECT_EQ(timeZoneDisplayName(), "(UTC+00:00) Europe/London");
    lockTimeZone(true);
    copyIn(test::readFile("/usr/share/zoneinfo/Asia/Tokyo"));  // replaced outside the program
    refreshTimeZone();
    EXPECT_EQ(target(), "/usr/share/zoneinfo/Europe/London");
    EXPECT_EQ(test::readFile(dir.file("timezone")), "Europe/London\n");
    EXPECT_EQ(lockedTimeZone().bias, 0);
    EXPECT_NE(test::readFile(dir.file("dLog.txt")).find(" : Time Zone Restored\r\n"), std::string::npos);

    // The name the system wrote beside a copy wins when its file matches.
    copyIn(test::readFile("/usr/share/zoneinfo/Europe/London"));
    test::writeFile(dir.file("timezone"), "GB\n");
    platform::TimeZoneInformation zone;
    ASSERT_NE(platform::getTimeZoneInformation(zone), platform::TimeZoneResult::Failed);
    EXPECT_EQ(platform::zoneNameText(zone.standardName), "GB");
}

// Rules that no file of the tz database holds are put back as they were.
TEST_F(ZoneFiles, UnknownZoneIsRestoredFromItsOwnRules) {
    const std::string foreign = foreignZone();
    copyIn(foreign);
    refreshTimeZone();
    lockTimeZone(true);
    pointAt("Europe/Berlin");
    refreshTimeZone();
    EXPECT_EQ(test::readFile(link), foreign);
    EXPECT_EQ(lockedTimeZone().bias, -540);
    lockTimeZone(false);
    EXPECT_FALSE(test::fileExists(dir.file("dZone.tzif")));
}

// Files without a rule in their footer (version 1, or a footer left empty)
// are read from their transitions.
TEST_F(ZoneFiles, ZonesWithoutARuleAreReadFromTheirTransitions) {
    const std::string berlin = test::readFile("/usr/share/zoneinfo/Europe/Berlin");
    ASSERT_GE(berlin.size(), 44u);
    auto count = [&](size_t at) {
        return (static_cast<uint32_t>(static_cast<uint8_t>(berlin[at])) << 24) |
               (static_cast<uint32_t>(static_cast<uint8_t>(berlin[at + 1])) << 16) |
               (static_cast<uint32_t>(static_cast<uint8_t>(berlin[at + 2])) << 8) |
               static_cast<uint32_t>(static_cast<uint8_t>(berlin[at + 3]));
    };
    const size_t v1Size = 44 + count(32) * 5 + count(36) * 6 + count(40) + count(28) * 8 + count(24) + count(20);
    std::string version1 = berlin.substr(0, v1Size);
    version1[4] = '\0';
    std::string emptyFooter = berlin.substr(0, berlin.rfind('\n', berlin.size() - 2) + 1) + "\n";
    for (const std::string& bytes : {version1, emptyFooter}) {
        platform::TimeZoneInformation zone;
        std::string abbreviation;
        ASSERT_TRUE(platform::zoneFromTransitions(bytes, std::time(nullptr), zone, abbreviation));
        EXPECT_EQ(zone.bias, -60);
        EXPECT_EQ(zone.daylightBias, -60);
        EXPECT_EQ(zone.daylightDate.month, 3);
        EXPECT_NE(zone.daylightDate.year, 0);  // a fixed date of this year
        EXPECT_EQ(zone.standardDate.month, 10);
        EXPECT_EQ(abbreviation, "CET");
        copyIn(bytes);
        refreshTimeZone();
        EXPECT_EQ(lockedTimeZone().bias, -60);
    }
}

TEST_F(ZoneFiles, DialogShowsTheZoneAndTheLockSurvivesARestart) {
    pointAt("Australia/Sydney");
    refreshTimeZone();
    std::string bias, name, standardDate, daylightBias, phase;
    std::thread answer = test::answerModal(
        "Time Zone",
        [&](gui::WindowHandle dialog) {
            bias = gui::getDlgItemText(dialog, kIdZoneBias);
            name = gui::getDlgItemText(dialog, kIdZoneDisplayName);
            standardDate = gui::getDlgItemText(dialog, kIdZoneStandardDate);
            daylightBias = gui::getDlgItemText(dialog, kIdZoneDaylightBias);
            phase = gui::getDlgItemText(dialog, kIdZonePhase);
            gui::checkDlgButton(dialog, kIdZoneLock, true);
        },
        1);
    showTimeZoneDialog(window);
    answer.join();
    EXPECT_EQ(bias, "+ 10 Hrs");
    EXPECT_EQ(name, "(UTC+10:00) Australia/Sydney");
    EXPECT_NE(standardDate.find("03:00:00"), std::string::npos) << standardDate;  // first Sunday of April, 3:00
    EXPECT_EQ(daylightBias, "- 1 Hr");
    EXPECT_TRUE(phase == "Standard" || phase == "Daylight");
    EXPECT_TRUE(settings.timeZoneLocked.load());

    // Saved, read back at the next start, and shown again.
    saveSettings();
    settings.timeZoneLocked.store(false);
    loadSettings();
    EXPECT_TRUE(settings.timeZoneLocked.load());
    bool ticked = false;
    std::thread again = test::answerModal(
        "Time Zone", [&](gui::WindowHandle dialog) { ticked = gui::isDlgButtonChecked(dialog, kIdZoneLock); }, kIdZoneOk);
    showTimeZoneDialog(window);
    again.join();
    EXPECT_TRUE(ticked);
}

// Escape and the close box do nothing: only OK closes the dialog. The lock
// is ticked first and the three messages are posted in one go, so the lock
// is saved only when OK, the last of them, still finds the dialog open.
TEST_F(ZoneFiles, DialogIgnoresEscape) {
    pointAt("Asia/Tokyo");
    (void)refreshTimeZone();
    ASSERT_FALSE(settings.timeZoneLocked.load());
    std::thread answer([] {
        for (int i = 0; i < 30000; ++i) {
            for (const gui::WindowView& w : gui::snapshotWindows()) {
                // Once shown: its set-up (which sets the lock box from the
                // settings) is over.
                if (w.caption == "Time Zone" && w.show == gui::ShowCommand::Normal) {
                    gui::checkDlgButton(w.handle, kIdZoneLock, true);
                    gui::postCommand(w.handle, gui::kIdCancel);  // Escape
                    gui::postMessage(w.handle, gui::WindowMessage{gui::MessageKind::Close});
                    gui::postCommand(w.handle, kIdZoneOk);
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    showTimeZoneDialog(window);
    answer.join();
    EXPECT_TRUE(settings.timeZoneLocked.load());
}

}  // namespace
}  // namespace tavrel
