#include <gtest/gtest.h>

#include <string>

#include "resources/default_strings.h"
#include "storage/strings.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

std::string_view textAt(const StringTable& table, int slot) {
    const char* at = table.bytes + static_cast<size_t>(slot) * kSlotSize;
    if (table.lengths[slot] != 0) return std::string_view(at, table.lengths[slot]);
    return std::string_view(at);
}

// A file of `count` numbered one-slot lines.
std::string numberedLines(int count, int from = 0) {
    std::string content;
    for (int i = from; i < from + count; ++i) content += "line" + std::to_string(i) + "\r\n";
    return content;
}

TEST(StringParser, CommentLinesTakeNoSlot) {
    StringTable table;
    StringTableFiller filler(table, kRequiredSlots);
    for (char c : std::string("Check\r\n#Correct\r\nOptions\r\n")) filler.feed(static_cast<uint8_t>(c));
    EXPECT_EQ(textAt(table, 0), "Check");
    EXPECT_EQ(textAt(table, 1), "Options");
    EXPECT_EQ(filler.nextFreeSlot(), 2);
}

TEST(StringParser, HashInsideALineDropsItWhole) {
    StringTable table;
    EXPECT_TRUE(fillStringTable("first\r\nsee # remark\r\nsecond\r\n", table, 2));
    EXPECT_EQ(textAt(table, 0), "first");
    EXPECT_EQ(textAt(table, 1), "second");
}

TEST(StringParser, ShortLinesTakeNoSlot) {
    StringTable table;
    StringTableFiller filler(table, kRequiredSlots);
    for (char c : std::string("A\r\n\r\nOK\r\n")) filler.feed(static_cast<uint8_t>(c));
    EXPECT_EQ(textAt(table, 0), "OK");
    EXPECT_EQ(filler.nextFreeSlot(), 1);
}

TEST(StringParser, LinesOver50CharactersTakeMoreSlots) {
    const std::string text51(51, 'x');
    std::string content = numberedLines(212) + text51 + "\r\nafter\r\n";
    StringTable table;
    StringTableFiller filler(table, kRequiredSlots);
    for (char c : content) filler.feed(static_cast<uint8_t>(c));
    EXPECT_EQ(textAt(table, 212), text51);
    EXPECT_EQ(textAt(table, 214), "after");
    EXPECT_EQ(filler.nextFreeSlot(), 215);
}

TEST(StringParser, ExactMultiplesOf50ReadBackWholeAndTerminated) {
    for (size_t length : {50u, 100u, 150u}) {
        const std::string text(length, 'm');
        StringTable table;
        StringTableFiller filler(table, kRequiredSlots);
        for (char c : text + "\r\nnext\r\n") filler.feed(static_cast<uint8_t>(c));
        EXPECT_EQ(textAt(table, 0), text) << length;
        EXPECT_EQ(filler.nextFreeSlot(), static_cast<int>(length / 50) + 1) << length;
        EXPECT_EQ(textAt(table, static_cast<int>(length / 50)), "next");
    }
}

TEST(StringParser, OverLongLinesAreCutAt599) {
    StringTable table;
    StringTableFiller filler(table, kRequiredSlots);
    for (char c : std::string(2000, 'q') + "\r\nnext\r\n") filler.feed(static_cast<uint8_t>(c));
    EXPECT_EQ(textAt(table, 0), std::string(599, 'q'));
    EXPECT_EQ(textAt(table, 12), "next");
}

TEST(StringParser, LfOnlyFileYieldsNothing) {
    StringTable table;
    StringTableFiller filler(table, kRequiredSlots);
    for (char c : std::string("one\ntwo\nthree\n")) filler.feed(static_cast<uint8_t>(c));
    EXPECT_EQ(filler.nextFreeSlot(), 0);
}

TEST(StringParser, TextAfterTheLastCrIsIgnored) {
    StringTable table;
    EXPECT_FALSE(fillStringTable("kept\r\ndangling", table, 2));
    EXPECT_EQ(textAt(table, 1), "");
}

TEST(StringParser, NeedsSlotsUpTo250AndStopsAfterIt) {
    StringTable table;
    EXPECT_FALSE(fillStringTable(numberedLines(249), table, kRequiredSlots));
    StringTable full;
    StringTableFiller filler(full, kRequiredSlots);
    for (char c : numberedLines(260)) filler.feed(static_cast<uint8_t>(c));
    EXPECT_TRUE(filler.complete());
    EXPECT_EQ(filler.nextFreeSlot(), 251);
    EXPECT_EQ(textAt(full, 250), "line250");
    EXPECT_EQ(textAt(full, 251), "");
}

TEST(DefaultStrings, ParseToTheDocumentedSlots) {
    StringTable table;
    StringTableFiller filler(table, kRequiredSlots);
    for (char c : defaultStringsFile()) filler.feed(static_cast<uint8_t>(c));
    EXPECT_EQ(filler.nextFreeSlot(), 251);
    EXPECT_EQ(textAt(table, 0), "Check");
    EXPECT_EQ(textAt(table, 5), "How long Tavrel will wait for a respose");
    EXPECT_EQ(textAt(table, 79), "Unable to sync from ");
    EXPECT_EQ(textAt(table, 100), " until AutoSync");
    EXPECT_EQ(textAt(table, 104), "Tavrel v1.5 Log");
    EXPECT_EQ(textAt(table, 196), "HH' 'mm' 'ss");
    EXPECT_EQ(textAt(table, 211), "Internet Time Synchronisation");
    EXPECT_EQ(textAt(table, 212), "Runs Tavrel as an administrator so Service settings can be changed");
    EXPECT_EQ(textAt(table, 242), "Ensure that the Time Zone settings are not changed.");
    EXPECT_EQ(textAt(table, 248), "Runs Tavrel as an administrator so the time can be set");
    EXPECT_EQ(textAt(table, 250), "END OF NEEDED STUFF");
}

TEST(DefaultStrings, FileLayout) {
    const std::string file = defaultStringsFile();
    size_t lines = 0;
    for (size_t at = file.find("\r\n"); at != std::string::npos; at = file.find("\r\n", at + 2)) ++lines;
    EXPECT_EQ(lines, 250u);
    EXPECT_EQ(file.find('#'), std::string::npos);
    EXPECT_EQ(file.find('\n'), file.find("\r\n") + 1);
    EXPECT_TRUE(file.ends_with("END OF NEEDED STUFF\r\n" + [] {
        std::string tail;
        for (int i = 0; i < 18; ++i) tail += "aaaa\r\n";
        return tail;
    }()));
}

class StringFileSearch : public ::testing::Test {
protected:
    void SetUp() override { test::resetProcessState(programDir.path(), dataDir.path()); }
    test::TempDir programDir;
    test::TempDir dataDir;
};

TEST_F(StringFileSearch, MissingEverywhereWritesTheDefaultIntoTheDataDirectory) {
    StringTable table;
    ASSERT_TRUE(tryLoadStringTable(kStringsFileName, kRequiredSlots, table));
    EXPECT_EQ(test::readFile(dataDir.file(kStringsFileName)), defaultStringsFile());
    EXPECT_FALSE(test::fileExists(programDir.file(kStringsFileName)));
    EXPECT_EQ(textAt(table, 1), "Correct");
}

TEST_F(StringFileSearch, DataDirectoryBeforeProgramDirectory) {
    test::writeFile(programDir.file(kStringsFileName), numberedLines(251, 1000));
    StringTable table;
    ASSERT_TRUE(tryLoadStringTable(kStringsFileName, kRequiredSlots, table));
    EXPECT_EQ(textAt(table, 0), "line1000");
    test::writeFile(dataDir.file(kStringsFileName), numberedLines(251, 2000));
    ASSERT_TRUE(tryLoadStringTable(kStringsFileName, kRequiredSlots, table));
    EXPECT_EQ(textAt(table, 0), "line2000");
}

TEST_F(StringFileSearch, TooFewSlotsFails) {
    test::writeFile(dataDir.file(kStringsFileName), numberedLines(249));
    StringTable table;
    EXPECT_FALSE(tryLoadStringTable(kStringsFileName, kRequiredSlots, table));
}

TEST_F(StringFileSearch, WriteDefaultReplacesTheFileWhole) {
    test::writeFile(dataDir.file(kStringsFileName), "edited\r\n");
    ASSERT_TRUE(writeDefaultStrings(kStringsFileName));
    EXPECT_EQ(test::readFile(dataDir.file(kStringsFileName)), defaultStringsFile());
}

// Nowhere to write the default (a full disk, a read-only folder): the
// built-in texts serve, and no empty or partial file is left behind.
TEST_F(StringFileSearch, UnwritableFolderStillGivesTheTexts) {
    test::resetProcessState(dataDir.file("missing/"), dataDir.file("missing/"));
    StringTable table;
    ASSERT_TRUE(tryLoadStringTable(kStringsFileName, kRequiredSlots, table));
    EXPECT_EQ(textAt(table, 0), "Check");
    EXPECT_FALSE(test::fileExists(dataDir.file("missing/") + kStringsFileName));
}

}  // namespace
}  // namespace tavrel
