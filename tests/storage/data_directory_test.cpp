#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/file.h"
#include "storage/data_directory.h"
#include "tests/support/temp_dir.h"
#include "tests/support/environment.h"

namespace tavrel {
namespace {

TEST(DataDirectory, ResolveFallsBackToTheProgramDirectory) {
    test::TempDir program, data;
    setDirectories(program.path(), data.path());
    EXPECT_EQ(resolveDataFile("ServFile.txt"), program.file("ServFile.txt"));
    test::writeFile(program.file("ServFile.txt"), "x");
    EXPECT_EQ(resolveDataFile("ServFile.txt"), program.file("ServFile.txt"));
    test::writeFile(data.file("ServFile.txt"), "y");
    EXPECT_EQ(resolveDataFile("ServFile.txt"), data.file("ServFile.txt"));
}

TEST(DataDirectory, DirectoriesEndWithTheSeparator) {
    const std::string sep(1, platform::kPathSeparator);
    setDirectories(sep + "a" + sep + "b", sep + "c" + sep + "d" + sep);
    EXPECT_EQ(programDirectory(), sep + "a" + sep + "b" + sep);
    EXPECT_EQ(dataDirectory(), sep + "c" + sep + "d" + sep);
}

TEST(DataDirectory, ProgramDirectoryIsTheFolderOfTheRunningFile) {
    locateDirectories();
    const std::string self = platform::programFilePath();
    EXPECT_EQ(programDirectory(), self.substr(0, self.rfind(platform::kPathSeparator) + 1));
}

TEST(DataDirectory, ApplicationDataFolderFollowsXdg) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows takes the folder from the shell, not from XDG_CONFIG_HOME";
#endif
    {
        const test::ScopedEnv home("XDG_CONFIG_HOME", "/some/where");
        EXPECT_EQ(platform::applicationDataFolder(), "/some/where");
    }
    const test::ScopedEnv home("XDG_CONFIG_HOME", "relative");  // not absolute: ignored
    EXPECT_NE(platform::applicationDataFolder(), "relative");
}

#ifndef _WIN32
// A program installed as PREFIX/bin/tavrel finds its own files (the
// read-me, DefSet.txt, the shipped lists) in PREFIX/share/tavrel; a program
// anywhere else finds them beside itself.
TEST(DataDirectory, InstalledProgramsOwnFilesLieInTheSharedFolder) {
    test::TempDir prefix;
    platform::createDirectory(prefix.file("bin"));
    EXPECT_EQ(platform::programFilesFolder(prefix.file("bin/tavrel")), prefix.file("bin"));
    platform::createDirectory(prefix.file("share"));
    platform::createDirectory(prefix.file("share/tavrel"));
    EXPECT_EQ(platform::programFilesFolder(prefix.file("bin/tavrel")), prefix.file("share/tavrel"));
    EXPECT_EQ(platform::programFilesFolder(prefix.file("share/tavrel/tavrel")), prefix.file("share/tavrel"));
    EXPECT_EQ(platform::programFilesFolder("tavrel"), "");
}

// The service keeps its data in the state folder systemd gives it, and the
// window program saves the service's settings there.
TEST(DataDirectory, TheServiceKeepsItsDataInItsStateFolder) {
    test::TempDir state;
    {
        const test::ScopedEnv given("STATE_DIRECTORY", state.path() + "tavrel:" + state.path() + "other");
        locateDirectories(true);
        EXPECT_EQ(dataDirectory(), state.file("tavrel/"));
        EXPECT_TRUE(platform::directoryExists(state.file("tavrel")));
        locateDirectories(false);  // only the service takes it
        EXPECT_NE(dataDirectory(), state.file("tavrel/"));
    }
    const test::ScopedEnv stand("TAVREL_SERVICE_STATE_DIR", state.file("service"));
    EXPECT_EQ(serviceDataDirectory(), state.file("service/"));
    EXPECT_TRUE(platform::directoryExists(state.file("service")));
}
#endif

}  // namespace
}  // namespace tavrel
