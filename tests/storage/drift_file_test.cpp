#include <gtest/gtest.h>

#include <string>

#include "platform/file.h"
#include "storage/drift_file.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

using platform::FileTime;
constexpr FileTime kSecond = platform::kFileTimeUnitsPerSecond;
constexpr FileTime kWritten = platform::kFileTime1970 + 1'796'861'557ULL * kSecond;
constexpr FileTime kDay = 86400 * kSecond;

TEST(DriftFile, ARecordComesBackAsWritten) {
    test::TempDir dir;
    const std::string path = dir.file(kDriftFileName);
    ASSERT_TRUE(writeDriftFile(path, DriftRecord{-48.2134, 0.2841, kWritten}));
    std::string text;
    ASSERT_TRUE(platform::readSmallFile(path, text, 1000));
    EXPECT_EQ(text, "-48.213 0.284 1796861557\n");
    const auto back = readDriftFile(path, kWritten + kDay);
    ASSERT_TRUE(back);
    EXPECT_NEAR(back->errorPpm, -48.213, 1e-9);
    EXPECT_NEAR(back->uncertaintyPpm, 0.284, 1e-9);
    EXPECT_EQ(back->written, kWritten);
    // Written whole: nothing is left beside it.
    ASSERT_TRUE(writeDriftFile(path, DriftRecord{12.5, 0.5, kWritten}));
    EXPECT_TRUE(platform::readSmallFile(path, text, 1000));
    EXPECT_EQ(text, "12.500 0.500 1796861557\n");
}

TEST(DriftFile, AnEstimateAWeekOldOrFromTheFutureIsRefused) {
    test::TempDir dir;
    const std::string path = dir.file(kDriftFileName);
    ASSERT_TRUE(writeDriftFile(path, DriftRecord{30.0, 0.3, kWritten}));
    EXPECT_TRUE(readDriftFile(path, kWritten + 7 * kDay - kSecond));
    EXPECT_FALSE(readDriftFile(path, kWritten + 7 * kDay));
    EXPECT_FALSE(readDriftFile(path, kWritten - kDay));
    EXPECT_FALSE(readDriftFile(dir.file("missing.txt"), kWritten));
}

TEST(DriftFile, GarbagePartialAndHugeValuesAreRefused) {
    for (const char* text : {"", "\n", "48.2", "48.2 0.3", "48.2 0.3 ", "48.2 0.3 1796861557 7", "abc 0.3 1796861557",
                             "48,2 0,3 1796861557", "48.2  0.3 1796861557", "600.0 0.3 1796861557",
                             "-500.1 0.3 1796861557", "48.2 0.0 1796861557", "48.2 -0.3 1796861557",
                             "48.2 250 1796861557", "nan 0.3 1796861557", "inf 0.3 1796861557", "48.2 0.3 -5",
                             "48.2 0.3 99999999999999999999", "48.2 0.3 1796861557\n48.2 0.3 1796861557\n",
                             "48.2 0.3 1796861557\n\n", "1e3 0.3 1796861557"}) {
        EXPECT_FALSE(parseDriftRecord(text)) << '"' << text << '"';
    }
    EXPECT_FALSE(parseDriftRecord(std::string(200, '1')));
    EXPECT_TRUE(parseDriftRecord("48.2 0.3 1796861557"));
    EXPECT_TRUE(parseDriftRecord("-48.2 0.3 1796861557\r\n"));
    EXPECT_TRUE(parseDriftRecord("500 100 1796861557\n"));
}

}  // namespace
}  // namespace tavrel
