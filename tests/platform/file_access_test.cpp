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

}  // namespace
}  // namespace tavrel
