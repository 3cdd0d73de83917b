// Setting the zone through timedated, against the stand-in on a private bus
// that tests/platform/timedated_zone.sh starts (in a mount namespace whose
// /etc is an overlay, so no real zone changes). Skipped elsewhere.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/file.h"
#include "platform/timezone.h"

namespace tavrel {
namespace {

std::string linkTarget(const char* path) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(path, buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

TEST(TimedatedZone, AskedOverTheBusWithTheLinkByHandOnlyWhenItIsAbsent) {
    const char* record = std::getenv("TAVREL_TEST_TIMEDATED_RECORD");
    const char* mode = std::getenv("TAVREL_TEST_TIMEDATED_MODE");
    if (record == nullptr || mode == nullptr) GTEST_SKIP() << "run by timedated_zone.sh";
    const std::string before = linkTarget("/etc/localtime");
    platform::TimeZoneInformation zone;
    platform::setZoneNameText(zone.standardName, "Europe/Berlin");
    const bool set = platform::setTimeZoneInformation(zone);
    std::string asked;
    (void)platform::readSmallFile(record, asked, 4096);
    const std::string wanted = mode;
    if (wanted == "accept") {
        EXPECT_TRUE(set);
        // Asked once, letting polkit ask the user; timedated does the rest.
        EXPECT_EQ(asked, "Europe/Berlin 1\n");
        EXPECT_EQ(linkTarget("/etc/localtime"), before);
    } else if (wanted == "refuse") {
        // A refusal is final: no second way behind the user's back.
        EXPECT_FALSE(set);
        EXPECT_EQ(asked, "Europe/Berlin 1\n");
        EXPECT_EQ(linkTarget("/etc/localtime"), before);
    } else {
        // Nobody owns timedated's name: the link is set by hand.
        EXPECT_TRUE(set);
        EXPECT_EQ(asked, "");
        EXPECT_EQ(linkTarget("/etc/localtime"), "/usr/share/zoneinfo/Europe/Berlin");
    }
}

}  // namespace
}  // namespace tavrel
#endif
