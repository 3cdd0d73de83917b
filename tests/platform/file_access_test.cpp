// Who can reach the files the program makes on Linux: the single-instance
// lock and the modes of whole-file replacements.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/file.h"
#include "platform/process.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(SingleInstanceLock, LiesInTheUsersOwnRuntimeFolderAndFollowsNoLink) {
    test::TempDir runtime;
    ASSERT_EQ(chmod(runtime.path().c_str(), 0700), 0);
    std::string folder = runtime.path();
    if (folder.back() == '/') folder.pop_back();
    const test::ScopedEnv env("XDG_RUNTIME_DIR", folder.c_str());
    EXPECT_EQ(platform::singleInstanceLockPath("Probe"), folder + "/Probe.lock");
    EXPECT_TRUE(platform::acquireSingleInstance("Probe"));
    EXPECT_EQ(modeOf(folder + "/Probe.lock"), 0600u);
    EXPECT_FALSE(platform::acquireSingleInstance("Probe"));  // held

    // A link planted where the lock goes is not followed: nothing is made
    // at its target.
    test::TempDir elsewhere;
    ASSERT_EQ(symlink(elsewhere.file("made").c_str(), (folder + "/Linked.lock").c_str()), 0);
    EXPECT_TRUE(platform::acquireSingleInstance("Linked"));
    EXPECT_FALSE(test::fileExists(elsewhere.file("made")));
}

// sudo may hand root the calling user's runtime folder: root's lock then
// lies in /run, never where that user can write.
TEST(SingleInstanceLock, RootNeverLocksInAnotherUsersFolder) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    test::TempDir users;
    ASSERT_EQ(chown(users.path().c_str(), 65534, 65534), 0);
    const test::ScopedEnv env("XDG_RUNTIME_DIR", users.path().c_str());
    EXPECT_EQ(platform::singleInstanceLockPath("Tavrel"), "/run/Tavrel.lock");
    const test::ScopedEnv none("XDG_RUNTIME_DIR", nullptr);
    EXPECT_EQ(platform::singleInstanceLockPath("Tavrel"), "/run/Tavrel.lock");
}

// A new file takes the process's umask (the service's 0077 keeps its
// state private), a replaced one keeps its mode, and one that every
// reader needs is 0644.
TEST(WholeFiles, ModesAreChosenOnPurpose) {
    test::TempDir dir;
    const mode_t saved = umask(077);
    EXPECT_TRUE(platform::writeFileReplacing(dir.file("private"), "x"));
    EXPECT_EQ(modeOf(dir.file("private")), 0600u);
    ASSERT_EQ(chmod(dir.file("private").c_str(), 0640), 0);
    EXPECT_TRUE(platform::writeFileReplacing(dir.file("private"), "y"));
    EXPECT_EQ(modeOf(dir.file("private")), 0640u);
    EXPECT_TRUE(platform::writeFileReplacing(dir.file("public"), "z", platform::FileReaders::Everyone));
    EXPECT_EQ(modeOf(dir.file("public")), 0644u);
    umask(022);
    EXPECT_TRUE(platform::writeFileReplacing(dir.file("shared"), "x"));
    EXPECT_EQ(modeOf(dir.file("shared")), 0644u);
    umask(saved);
}

// Root saving into a folder of another user's (the window program writing
// the settings of the service, which runs as a user of its own) leaves a
// file that user owns and can read back, new or replaced; in root's own
// folders root keeps its files.
TEST(WholeFiles, RootWritingInAnotherUsersFolderLeavesThatUsersFile) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    constexpr uid_t kUser = 65534;
    constexpr gid_t kGroup = 65534;
    test::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);  // the user reaches its folder
    const std::string folder = dir.file("state");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(chown(folder.c_str(), kUser, kGroup), 0);
    const mode_t saved = umask(077);
    const auto owner = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) : "";
    };
    EXPECT_TRUE(platform::writeFileReplacing(folder + "/vIvod.dat", "new"));
    EXPECT_EQ(owner(folder + "/vIvod.dat"), "65534:65534");
    ASSERT_EQ(chown((folder + "/vIvod.dat").c_str(), 0, 0), 0);  // as an older root service left it
    EXPECT_TRUE(platform::writeFileReplacing(folder + "/vIvod.dat", "again"));
    EXPECT_EQ(owner(folder + "/vIvod.dat"), "65534:65534");
    EXPECT_EQ(modeOf(folder + "/vIvod.dat"), 0600u);
    const std::string asUser = "setpriv --reuid=65534 --regid=65534 --clear-groups cat '" + folder + "/vIvod.dat' > '" +
                               dir.file("read") + "'";
    EXPECT_EQ(std::system(asUser.c_str()), 0);
    EXPECT_EQ(test::readFile(dir.file("read")), "again");
    EXPECT_TRUE(platform::writeFileReplacing(dir.file("own"), "root's"));
    EXPECT_EQ(owner(dir.file("own")), "0:0");
    umask(saved);
}

// In a folder where links are refused (root's data folder) no file call
// reaches through a link planted there: reading, appending, creating and
// replacing either fail or replace the link itself, and the link's target
// stays as it was, its mode lent to nothing.
TEST(RefusedLinks, NoFileCallReachesThroughALinkInTheFolder) {
    test::TempDir data;
    test::TempDir elsewhere;
    const std::string secret = elsewhere.file("secret");
    ASSERT_TRUE(platform::writeFileReplacing(secret, "root's secret\n"));
    ASSERT_EQ(chmod(secret.c_str(), 0666), 0);
    for (const char* name : {"ServFile.txt", "dLog.txt", "History.csv", "vIvod.dat"}) {
        ASSERT_EQ(symlink(secret.c_str(), data.file(name).c_str()), 0);
    }
    // Before: a link is followed as it always was.
    std::string text;
    EXPECT_TRUE(platform::readSmallFile(data.file("ServFile.txt"), text, 1000));
    platform::refuseLinksIn(data.path());

    EXPECT_FALSE(platform::fileReadable(data.file("ServFile.txt")));
    EXPECT_FALSE(platform::readSmallFile(data.file("ServFile.txt"), text, 1000));
    bool fromStart = false;
    EXPECT_FALSE(platform::readFileTail(data.file("History.csv"), text, 1000, fromStart));
    platform::File appended = platform::File::openAlways(data.file("dLog.txt"));
    EXPECT_FALSE(appended.valid());
    EXPECT_FALSE(platform::File::createAlways(data.file("History.csv")).valid());
    EXPECT_FALSE(platform::copyFile(data.file("ServFile.txt"), data.file("copy")));
    const mode_t saved = umask(077);
    EXPECT_TRUE(platform::writeFileReplacing(data.file("vIvod.dat"), "settings"));
    umask(saved);
    struct stat st {};
    ASSERT_EQ(lstat(data.file("vIvod.dat").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the link itself is replaced";
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "the new file's mode is its own, not the link target's";
    EXPECT_EQ(test::readFile(secret), "root's secret\n");
    EXPECT_EQ(modeOf(secret), 0666u);

    // Plain files in the folder, and links elsewhere, work as before.
    EXPECT_TRUE(platform::writeFileReplacing(data.file("Strings.txt"), "Check\r\n"));
    EXPECT_TRUE(platform::readSmallFile(data.file("Strings.txt"), text, 1000));
    EXPECT_EQ(text, "Check\r\n");
    EXPECT_FALSE(platform::copyFile(data.file("Strings.txt"), data.file("History.csv")));
    EXPECT_EQ(test::readFile(secret), "root's secret\n");
    EXPECT_TRUE(platform::File::openAlways(data.file("new log")).valid());
    ASSERT_EQ(symlink(secret.c_str(), elsewhere.file("link").c_str()), 0);
    EXPECT_TRUE(platform::readSmallFile(elsewhere.file("link"), text, 1000));
}

// Root refuses a data folder another user could change: one of a user's
// own, one under a user's folder (its owner could put another in its
// place), one others may write to; root's own folders, also in sticky /tmp,
// and the service's state folder owned by the service's user are fine.
TEST(RefusedLinks, RootRefusesADataFolderAnotherUserMayChange) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    constexpr uid_t kUser = 65534;
    test::TempDir dir;
    EXPECT_EQ(platform::folderUnsafeForRoot(dir.path()), "");
    const std::string users = dir.file("home");
    ASSERT_EQ(mkdir(users.c_str(), 0755), 0);
    ASSERT_EQ(chown(users.c_str(), kUser, kUser), 0);
    EXPECT_NE(platform::folderUnsafeForRoot(users).find("belongs to user"), std::string::npos);
    EXPECT_EQ(platform::folderUnsafeForRoot(users, true), "") << "the service's folder is its user's";
    const std::string inside = users + "/Tavrel";
    ASSERT_EQ(mkdir(inside.c_str(), 0700), 0);
    EXPECT_NE(platform::folderUnsafeForRoot(inside).find("above it belongs to user"), std::string::npos);
    // A link to a folder is judged by where it leads.
    ASSERT_EQ(symlink(inside.c_str(), dir.file("linked").c_str()), 0);
    EXPECT_NE(platform::folderUnsafeForRoot(dir.file("linked")).find(users), std::string::npos);
    const std::string open = dir.file("open");
    ASSERT_EQ(mkdir(open.c_str(), 0755), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    EXPECT_NE(platform::folderUnsafeForRoot(open).find("may change"), std::string::npos);
    ASSERT_EQ(chmod(open.c_str(), 01777), 0);
    EXPECT_EQ(platform::folderUnsafeForRoot(open), "") << "sticky: only an entry's owner moves it";
    EXPECT_NE(platform::folderUnsafeForRoot(dir.file("missing")), "");

    // A folder root makes in a user's folder is that user's.
    ASSERT_TRUE(platform::createDirectory(users + "/Brennow"));
    struct stat st {};
    ASSERT_EQ(stat((users + "/Brennow").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kUser);
}

}  // namespace
}  // namespace tavrel
