#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <string_view>
#include <vector>

#include "engine/clock_helper.h"

namespace tavrel {
namespace {

bool parses(std::string_view kind, std::string_view seconds, ClockChange& change) {
    std::string why;
    const bool ok = parseClockHelperArguments({kind, seconds}, change, why);
    EXPECT_EQ(ok, why.empty()) << why;
    return ok;
}

// What the window writes, the helper reads back to the unit: every change
// a Correct makes crosses the process boundary exactly.
TEST(ClockHelperArguments, EveryChangeReadsBackExactly) {
    const std::vector<int64_t> changes{0, 1, -1, 9'999'999, -10'000'000, 10'000'001, -123'456'789'012,
                                       kLargestHelperStepUnits, -kLargestHelperStepUnits};
    for (const int64_t units : changes) {
        const std::vector<std::string> args = clockHelperArguments({ClockChangeKind::Step, units});
        ASSERT_EQ(args.size(), 3u);
        EXPECT_EQ(args[0], kClockHelperSwitch);
        EXPECT_EQ(args[1], "step");
        ClockChange read;
        ASSERT_TRUE(parses(args[1], args[2], read)) << args[2];
        EXPECT_EQ(read.kind, ClockChangeKind::Step);
        EXPECT_EQ(read.units, units) << args[2];
    }
    const std::vector<std::string> slew = clockHelperArguments({ClockChangeKind::Slew, -kLargestHelperSlewUnits});
    EXPECT_EQ(slew[1], "slew");
    EXPECT_EQ(slew[2], "-0.5");
    ClockChange read;
    ASSERT_TRUE(parses(slew[1], slew[2], read));
    EXPECT_EQ(read.kind, ClockChangeKind::Slew);
    EXPECT_EQ(read.units, -kLargestHelperSlewUnits);
}

TEST(ClockHelperArguments, WrittenTheSameInEveryLocale) {
    // A locale with a decimal comma, where one is installed.
    const std::string before = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) (void)std::setlocale(LC_ALL, "C.UTF-8");
    EXPECT_EQ(clockChangeSeconds(-15'000'000), "-1.5");
    EXPECT_EQ(clockChangeSeconds(1), "0.0000001");
    ClockChange read;
    EXPECT_TRUE(parses("step", "2.25", read));
    EXPECT_EQ(read.units, 22'500'000);
    (void)std::setlocale(LC_ALL, before.c_str());
}

TEST(ClockHelperArguments, RefusesAnythingButKindAndSeconds) {
    ClockChange change{ClockChangeKind::Slew, 77};
    std::string why;
    for (const std::vector<std::string_view>& args : std::vector<std::vector<std::string_view>>{
             {}, {"step"}, {"step", "1", "2"}, {"set", "1"}, {"Step", "1"}, {"step", "nan"}, {"step", "inf"},
             {"step", "-infinity"}, {"step", "1e3"}, {"step", "0x1"}, {"step", "1,5"}, {"step", " 1"},
             {"step", "1 "}, {"step", ""}, {"step", "-"}, {"step", "."}, {"step", "1."}, {"step", ".5"},
             {"step", "--1"}, {"step", "0.00000001"}, {"step", "4294967296.0000001"},
             {"step", "-4294967297"}, {"step", "18446744073709551617"}, {"slew", "0.5000001"},
             {"slew", "-3"}, {std::string_view("step\0", 5), "1"}, {"step", std::string_view("1\0", 2)}}) {
        EXPECT_FALSE(parseClockHelperArguments(args, change, why)) << (args.size() > 1 ? args[1] : "");
        EXPECT_FALSE(why.empty());
    }
    // A refusal leaves the change as it was.
    EXPECT_EQ(change.kind == ClockChangeKind::Slew && change.units == 77, true);
}

TEST(ClockHelperOutcome, ReadFromTheElevatorsStatus) {
    EXPECT_EQ(clockHelperOutcomeOf(0), ClockHelperOutcome::Applied);
    EXPECT_EQ(clockHelperOutcomeOf(-1), ClockHelperOutcome::NotFound);
    EXPECT_EQ(clockHelperOutcomeOf(126), ClockHelperOutcome::Dismissed);
    EXPECT_EQ(clockHelperOutcomeOf(127), ClockHelperOutcome::NotAuthorised);
    EXPECT_EQ(clockHelperOutcomeOf(kHelperArgumentsRefused), ClockHelperOutcome::Refused);
    EXPECT_EQ(clockHelperOutcomeOf(kHelperClockRefused), ClockHelperOutcome::Refused);
    EXPECT_EQ(clockHelperOutcomeOf(128 + 9), ClockHelperOutcome::Refused);
    EXPECT_TRUE(clockHelperFailureText(ClockHelperOutcome::Applied).empty());
    EXPECT_FALSE(clockHelperFailureText(ClockHelperOutcome::Dismissed).empty());
}

}  // namespace
}  // namespace tavrel
