#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/startup.h"

namespace tavrel {
namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, SplitsOnBlanksAndTabs) {
    EXPECT_EQ(splitCommandLine("prog  /q\t/s "), (Args{"prog", "/q", "/s"}));
    EXPECT_EQ(splitCommandLine(""), Args{});
}

TEST(CommandLine, QuotesGroupAndAreRemoved) {
    EXPECT_EQ(splitCommandLine("\"C:\\Program Files\\Tavrel.exe\" \"/q\""),
              (Args{"C:\\Program Files\\Tavrel.exe", "/q"}));
    EXPECT_EQ(splitCommandLine("prog a\"b c\"d"), (Args{"prog", "ab cd"}));
    EXPECT_EQ(splitCommandLine("prog \"\""), (Args{"prog", ""}));
}

TEST(CommandLine, OddQuotesGiveNoArguments) {
    EXPECT_TRUE(splitCommandLine("prog \"/q").empty());
    EXPECT_EQ(readSwitch("prog /q \""), "");
}

TEST(CommandLine, SwitchIsTheLastTwoCharactersOfArgumentOneLowerCased) {
    EXPECT_EQ(readSwitch("prog /Q"), "/q");
    EXPECT_EQ(readSwitch("prog x/s"), "/s");
    EXPECT_EQ(readSwitch("prog /q /s"), "/q");
    EXPECT_EQ(readSwitch("prog \"/q\""), "/q");
    EXPECT_EQ(readSwitch("prog /X"), "/x");
    EXPECT_EQ(readSwitch("prog q"), "");
    EXPECT_EQ(readSwitch("prog"), "");
    EXPECT_EQ(readSwitch("prog -QZ"), "qz");
}

}  // namespace
}  // namespace tavrel
