// Reading the end of a file: at most the bytes asked for, the newest ones,
// and whether they began at the file's start.
#include <gtest/gtest.h>

#include <string>

#include "platform/file.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

TEST(FileTail, GivesTheLastBytesAndSaysWhetherTheyAreTheWholeFile) {
    test::TempDir dir;
    const std::string path = dir.file("rows.txt");
    test::writeFile(path, "0123456789");
    std::string text = "left over";
    bool fromStart = true;
    ASSERT_TRUE(platform::readFileTail(path, text, 4, fromStart));
    EXPECT_EQ(text, "6789");
    EXPECT_FALSE(fromStart);
    ASSERT_TRUE(platform::readFileTail(path, text, 10, fromStart));
    EXPECT_EQ(text, "0123456789");
    EXPECT_TRUE(fromStart);
    ASSERT_TRUE(platform::readFileTail(path, text, 1 << 20, fromStart));
    EXPECT_EQ(text, "0123456789");
    EXPECT_TRUE(fromStart);
    EXPECT_FALSE(platform::readFileTail(dir.file("missing.txt"), text, 4, fromStart));
}

}  // namespace
}  // namespace tavrel
