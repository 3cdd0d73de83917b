#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resources/default_servers.h"
#include "servers/server_list.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

class ServerList : public ::testing::Test {
protected:
    void SetUp() override { test::resetProcessState(programDir.path(), dataDir.path()); }

    void writeList(std::string_view content) { test::writeFile(dataDir.file(kServerFileName), content); }

    std::vector<std::string> fill() {
        std::vector<std::string> entries;
        const int result = readServerList([&entries](int index, std::string_view name) {
            EXPECT_EQ(index, static_cast<int>(entries.size()));
            entries.emplace_back(name);
        });
        EXPECT_EQ(result, entries.empty() ? 0 : 1);
        return entries;
    }
    // Entry n, or "<none>".
    std::string pick(int n) {
        std::string name;
        return readServerEntry(n, name) ? name : "<none>";
    }

    test::TempDir programDir;
    test::TempDir dataDir;
};

TEST_F(ServerList, DefaultFileIsWrittenBesideTheProgramWhenMissingEverywhere) {
    ensureServerFile();
    EXPECT_FALSE(test::fileExists(dataDir.file(kServerFileName)));
    const std::string written = test::readFile(programDir.file(kServerFileName));
    EXPECT_EQ(written.size(), 678u);
    EXPECT_EQ(written, kDefaultServerList);
    EXPECT_EQ(serverListEmpty.load(), 0);
}

TEST_F(ServerList, DefaultListHas26NamesOf14To28Characters) {
    ensureServerFile();
    const std::vector<std::string> entries = fill();
    ASSERT_EQ(entries.size(), 26u);
    for (const auto& name : entries) {
        EXPECT_GE(name.size(), 14u) << name;
        EXPECT_LE(name.size(), 28u) << name;
    }
    EXPECT_TRUE(kDefaultServerList.starts_with("#Add as many as you like!\r\n"));
}

TEST_F(ServerList, PickGivesTheNthEntryAndFailsPastTheEnd) {
    ensureServerFile();
    const std::string last = pick(26);
    EXPECT_TRUE(kDefaultServerList.ends_with(last + "\r\n"));
    std::string name = "unchanged";
    EXPECT_FALSE(readServerEntry(27, name));
    EXPECT_FALSE(readServerEntry(0, name));
    EXPECT_EQ(name, "unchanged");
}

TEST_F(ServerList, ExistingFileIsLeftAlone) {
    writeList("mine.example\r\n");
    ensureServerFile();
    EXPECT_EQ(test::readFile(dataDir.file(kServerFileName)), "mine.example\r\n");
    EXPECT_FALSE(test::fileExists(programDir.file(kServerFileName)));
}

TEST_F(ServerList, DataDirectoryCopyComesFirst) {
    test::writeFile(programDir.file(kServerFileName), "beside.program\r\n");
    EXPECT_EQ(pick(1), "beside.program");
    writeList("in.data.dir\r\n");
    EXPECT_EQ(pick(1), "in.data.dir");
}

TEST_F(ServerList, EditingAnInstalledProgramsSharedListEditsTheUsersOwnCopy) {
    test::writeFile(programDir.file(kServerFileName), "shared.example\r\n");
    EXPECT_EQ(editableServerFile(), dataDir.file(kServerFileName));
    EXPECT_EQ(test::readFile(dataDir.file(kServerFileName)), "shared.example\r\n");
    test::writeFile(dataDir.file(kServerFileName), "mine.example\r\n");
    EXPECT_EQ(editableServerFile(), dataDir.file(kServerFileName));
    EXPECT_EQ(pick(1), "mine.example");
    EXPECT_EQ(test::readFile(programDir.file(kServerFileName)), "shared.example\r\n");
}

// Lists edited on Linux: LF line ends, no line end after the last name,
// empty and blank lines; no empty name is ever asked.
TEST_F(ServerList, AnyLineEndAndALastLineWithoutOne) {
    writeList("one.example\ntwo.example\r\n\n   \n\r\nthree.example");
    EXPECT_EQ(fill(), (std::vector<std::string>{"one.example", "two.example", "three.example"}));
    EXPECT_EQ(pick(3), "three.example");
    writeList("first.example\r\n" + std::string(1000, 'x'));
    EXPECT_EQ(fill(), std::vector<std::string>{"first.example"});
}

TEST_F(ServerList, EmptyFileIsWrittenAfreshAndAReadOnlyProgramFolderUsesTheDataFolder) {
    test::writeFile(programDir.file(kServerFileName), "");
    ensureServerFile();
    EXPECT_EQ(test::readFile(programDir.file(kServerFileName)), kDefaultServerList);
    // The program folder cannot be written: the list goes to the data folder.
    test::resetProcessState(programDir.file("missing/"), dataDir.path());
    ensureServerFile();
    EXPECT_EQ(test::readFile(dataDir.file(kServerFileName)), kDefaultServerList);
    EXPECT_EQ(serverListEmpty.load(), 0);
    EXPECT_NE(pick(1), "<none>");
}

TEST_F(ServerList, CommentAndShortLinesAreSkippedWithoutShiftingNumbers) {
    writeList("a.example # remark\r\n\r\nab\r\nabc\r\n#x\r\nname.example\r\n");
    EXPECT_EQ(fill(), (std::vector<std::string>{"abc", "name.example"}));
    EXPECT_EQ(pick(2), "name.example");
}

TEST_F(ServerList, CrAloneEndsALineAndBlanksAreKept) {
    writeList("lone.cr\r trailing.space \r\n\tab.tab\r");
    EXPECT_EQ(fill(), (std::vector<std::string>{"lone.cr", " trailing.space ", "\tab.tab"}));
}

TEST_F(ServerList, OverLongLinesAreDroppedWhole) {
    writeList(std::string(599, 'k') + "\r\n" + std::string(600, 'd') + "\r\nnext.example\r\n");
    const std::vector<std::string> entries = fill();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], std::string(599, 'k'));
    EXPECT_EQ(entries[1], "next.example");
}

TEST_F(ServerList, EditsTakeEffectAtTheNextPick) {
    writeList("old.example\r\n");
    EXPECT_EQ(pick(1), "old.example");
    writeList("new.example\r\n");
    EXPECT_EQ(pick(1), "new.example");
}

TEST_F(ServerList, UncreatableFileMarksTheListEmpty) {
    test::resetProcessState(programDir.file("missing/"), dataDir.file("missing/"));
    ensureServerFile();
    EXPECT_EQ(serverListEmpty.load(), 1);
    EXPECT_EQ(pick(1), "<none>");
}

// The Options sheet's refresh marks a list without entries unusable (syncs
// then ask Manual A) and a list that has one usable again.
TEST_F(ServerList, RefreshMarksAnEmptyListAndClearsTheMarkOnceFilled) {
    writeList("#only a remark\r\n");
    EXPECT_EQ(refreshServerList([](int, std::string_view) {}), 0);
    EXPECT_TRUE(serverListUnusable());
    writeList("one.example\r\n");
    std::vector<std::string> shown;
    EXPECT_EQ(refreshServerList([&shown](int, std::string_view name) { shown.emplace_back(name); }), 1);
    EXPECT_FALSE(serverListUnusable());
    EXPECT_EQ(shown, std::vector<std::string>{"one.example"});
}

TEST(ServerListParserBytes, EntryCutAtLineEnd) {
    ServerListParser parser;
    std::vector<std::string> entries;
    for (char c : std::string("x.example\r\ny#\r\nz.example\r\n")) {
        if (parser.feed(static_cast<uint8_t>(c))) entries.emplace_back(parser.entry());
    }
    EXPECT_EQ(entries, (std::vector<std::string>{"x.example", "z.example"}));
}

}  // namespace
}  // namespace tavrel
