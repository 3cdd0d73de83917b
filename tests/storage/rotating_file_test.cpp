#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "platform/file.h"
#include "storage/rotating_file.h"
#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include <dirent.h>
#include <sys/stat.h>
#endif

namespace tavrel {
namespace {

constexpr char kHeader[] = "header\r\n";
constexpr int64_t kRotateAbove = 32;
// Long enough never to run out on a slow machine: the writers here wait
// for each other, not for time.
constexpr int kLockWaitMs = 60'000;

class RotatingFile : public ::testing::Test {
protected:
    bool append(std::string_view text) {
        return appendRotating(path, oldPath, kRotateAbove, kHeader, text, kLockWaitMs);
    }

    test::TempDir dir;
    std::string path = dir.file("current.txt");
    std::string oldPath = dir.file("old.txt");
    // One byte past kRotateAbove: the next line rotates it.
    const std::string former = "header\r\nfirst line\r\nsecond line\r\n";
};

TEST_F(RotatingFile, MovesTheWholeFileAsideAndStartsANewOne) {
    test::writeFile(path, former);
    test::writeFile(oldPath, "the one before\r\n");
    // A writer that opened the file before the rotation.
    platform::File earlier = platform::File::openAlways(path);
    ASSERT_TRUE(earlier.valid());
    ASSERT_TRUE(earlier.isAt(path));

    ASSERT_TRUE(append("third line\r\n"));
    EXPECT_EQ(test::readFile(oldPath), former);
    EXPECT_EQ(test::readFile(path), "header\r\nthird line\r\n");
    ASSERT_TRUE(append("fourth line\r\n"));
    EXPECT_EQ(test::readFile(path), "header\r\nthird line\r\nfourth line\r\n");

    // It holds the moved file now, and can tell.
    ASSERT_TRUE(earlier.lockExclusive(kLockWaitMs));
    EXPECT_FALSE(earlier.isAt(path));
    EXPECT_TRUE(earlier.isAt(oldPath));
}

TEST_F(RotatingFile, AFileThatCannotBePutAsideKeepsEveryLine) {
    const std::string folder = dir.file("not-yet");
    oldPath = folder + platform::kPathSeparator + "old.txt";
    test::writeFile(path, former);

    testing::internal::CaptureStderr();
    const bool firstWritten = append("third line\r\n");
    const bool secondWritten = append("fourth line\r\n");
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(firstWritten);
    EXPECT_FALSE(secondWritten);
    EXPECT_EQ(test::readFile(path), former);
    EXPECT_FALSE(test::fileExists(oldPath));
    // Said once, not once a line.
    EXPECT_EQ(said.find("Tavrel: cannot rotate " + path + ": "), 0u) << said;
    EXPECT_NE(said.find("; new lines are dropped"), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << said;

    // Once the old file has somewhere to go, rotation takes everything along.
    ASSERT_TRUE(platform::createDirectory(folder));
    ASSERT_TRUE(append("fifth line\r\n"));
    EXPECT_EQ(test::readFile(oldPath), former);
    EXPECT_EQ(test::readFile(path), "header\r\nfifth line\r\n");
}

// Stand-ins for a system that refuses the move, and for a file that can be
// read only so far: past `readable` bytes each read fails, or finds the end
// early as when another writer cut the file short.
struct PartReads {
    static inline int64_t readable = 0;
    static inline int64_t given = 0;
    static inline bool failing = true;
    static bool refuseMove(const std::string&, const std::string&) { return false; }
    static long read(platform::File& file, void* buffer, size_t size) {
        if (given >= readable) return failing ? -1 : 0;
        const long n = file.read(buffer, std::min(size, static_cast<size_t>(readable - given)));
        if (n > 0) given += n;
        return n;
    }
};

TEST_F(RotatingFile, ACopyThatCannotReadTheFileWholeLosesNothing) {
    struct Restore {
        ~Restore() { setRotationSeams(nullptr, nullptr); }
    } restore;
    test::writeFile(path, former);
    test::writeFile(oldPath, "the one before\r\n");
    setRotationSeams(PartReads::refuseMove, PartReads::read);

    PartReads::readable = 10;
    PartReads::given = 0;
    PartReads::failing = true;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(append("third line\r\n"));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.find("Tavrel: cannot rotate " + path + ": "), 0u) << said;
    EXPECT_NE(said.find("could not be read whole"), std::string::npos) << said;
    EXPECT_EQ(test::readFile(path), former);
    EXPECT_EQ(test::readFile(oldPath), "the one before\r\n");

    // The end found early is no better than a failed read.
    PartReads::given = 0;
    PartReads::failing = false;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(append("fourth line\r\n"));
    (void)testing::internal::GetCapturedStderr();
    EXPECT_EQ(test::readFile(path), former);
    EXPECT_EQ(test::readFile(oldPath), "the one before\r\n");

    // Once it reads whole, the copy takes everything and the file starts afresh.
    PartReads::readable = 1 << 20;
    PartReads::given = 0;
    ASSERT_TRUE(append("fifth line\r\n"));
    EXPECT_EQ(test::readFile(oldPath), former);
    EXPECT_EQ(test::readFile(path), "header\r\nfifth line\r\n");
    EXPECT_EQ(PartReads::given, static_cast<int64_t>(former.size()));
}

#ifndef _WIN32
// How many descriptors of this process have the file at `path` open.
int openDescriptorsOf(const std::string& path) {
    struct stat named {};
    if (::stat(path.c_str(), &named) != 0) return -1;
    int count = 0;
    DIR* listing = ::opendir("/proc/self/fd");
    if (listing == nullptr) return -1;
    while (const dirent* entry = ::readdir(listing)) {
        struct stat held {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (entry->d_name[0] != '.' && ::stat(link.c_str(), &held) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            ++count;
        }
    }
    ::closedir(listing);
    return count;
}

TEST_F(RotatingFile, WritersWaitingOnTheMovedFileWriteToTheNewOne) {
    test::writeFile(path, former);
    // Both writers open the file and wait for its lock; whichever gets it
    // first moves the file aside, and the other then holds the moved one.
    platform::File holder = platform::File::openAlways(path);
    ASSERT_TRUE(holder.lockExclusive(kLockWaitMs));
    bool aWritten = false;
    bool bWritten = false;
    std::thread a([&] { aWritten = append("from a\r\n"); });
    std::thread b([&] { bWritten = append("from b\r\n"); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (openDescriptorsOf(path) < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(openDescriptorsOf(path), 3);
    holder.close();
    a.join();
    b.join();

    EXPECT_TRUE(aWritten);
    EXPECT_TRUE(bWritten);
    EXPECT_EQ(test::readFile(oldPath), former);
    const std::string fresh = test::readFile(path);
    EXPECT_TRUE(fresh == "header\r\nfrom a\r\nfrom b\r\n" || fresh == "header\r\nfrom b\r\nfrom a\r\n") << fresh;
}
#endif

}  // namespace
}  // namespace tavrel
