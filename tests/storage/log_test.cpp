#include <gtest/gtest.h>

#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/time.h"
#include "servers/server_list.h"
#include "storage/log.h"
#include "storage/strings.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

class LogFile : public ::testing::Test {
protected:
    void SetUp() override { test::resetProcessState(dir.path(), dir.path()); }
    std::string log() { return test::readFile(dir.file(kLogFileName)); }
    test::TempDir dir;
};

TEST_F(LogFile, FirstLineCreatesTheFileWithItsHeader) {
    logLine("Tavreled");
    const std::string text = log();
    ASSERT_TRUE(text.starts_with("Tavrel v1.5 Log\r\n \r\n"));
    const std::string line = text.substr(20);
    ASSERT_GE(line.size(), 47u);
    EXPECT_EQ(line.substr(44, 3), " : ");
    EXPECT_TRUE(line.ends_with(" : Tavreled\r\n"));
    EXPECT_EQ(line.size(), 44 + 3 + 8 + 2u);
}

TEST_F(LogFile, LinesAreAppended) {
    logLine("one");
    logLine("two");
    const std::string text = log();
    EXPECT_EQ(text.find("Tavrel v1.5 Log"), 0u);
    EXPECT_EQ(text.rfind("Tavrel v1.5 Log"), 0u);
    EXPECT_NE(text.find(" : one\r\n"), std::string::npos);
    EXPECT_TRUE(text.ends_with(" : two\r\n"));
}

TEST(LogLineLayout, FieldsHaveFixedWidths) {
    platform::SystemTime t{};
    t.year = 2009;
    t.month = 6;
    t.day = 1;
    t.dayOfWeek = 1;
    t.hour = 7;
    t.minute = 5;
    t.second = 9;
    const std::string line = formatLogLine(t, "text");
    EXPECT_EQ(line.substr(0, 9), "07 05 09 ");
    EXPECT_EQ(line.substr(44, 7), " : text");
    const std::string date = line.substr(9, 35);
    EXPECT_NE(date.find("2009"), std::string::npos);
    EXPECT_EQ(date.find_last_not_of(' ') + 1, platform::formatLongDate(t).size());
}

TEST(LogLineLayout, LongDatesAreCutAt35) {
    platform::SystemTime t{};
    t.year = 2026;
    t.month = 9;  // "Wednesday, 30 September 2026" is 28 characters: pad
    t.day = 30;
    t.dayOfWeek = 3;
    const std::string line = formatLogLine(t, "");
    EXPECT_EQ(line.size(), 9 + 35 + 3 + 2u);
}

TEST_F(LogFile, RotatesAboveOneMillionBytes) {
    const std::string big(1'000'001, 'x');
    test::writeFile(dir.file(kLogFileName), big);
    logLine("fresh");
    EXPECT_EQ(test::readFile(dir.file(kOldLogFileName)), big);
    const std::string text = log();
    EXPECT_TRUE(text.starts_with("Tavrel v1.5 Log\r\n \r\n"));
    EXPECT_TRUE(text.ends_with(" : fresh\r\n"));
    EXPECT_EQ(text.size(), 20 + 47 + 5 + 2u);
}

TEST_F(LogFile, ExactlyOneMillionBytesIsNotRotated) {
    test::writeFile(dir.file(kLogFileName), std::string(1'000'000, 'x'));
    logLine("more");
    EXPECT_FALSE(test::fileExists(dir.file(kOldLogFileName)));
    EXPECT_EQ(log().size(), 1'000'000 + 47 + 4 + 2u);
}

TEST_F(LogFile, ServerLineAppendsTheServer) {
    logNamedLine("No response from ", "time.example.test");
    EXPECT_TRUE(log().ends_with(" : No response from time.example.test\r\n"));
}

// A server's name is text from outside: what it holds must not act on the
// terminal or the journal the log is read in.
TEST_F(LogFile, ControlCharactersInANameAreWrittenEscaped) {
    const std::string names[] = {"evil\x1B]0;title\x07.test", "\x1B[2Jwiped.test", "bare\rreturn.test"};
    echoLogToStandardError(true);
    testing::internal::CaptureStderr();
    for (const std::string& name : names) logNamedLine("No response from ", name, LogLevel::Warning);
    const std::string echoed = testing::internal::GetCapturedStderr();
    echoLogToStandardError(false);

    const std::string text = log();
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool lineEnd = (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ||
                             (byte == '\n' && i > 0 && text[i - 1] == '\r');
        EXPECT_TRUE(byte >= 0x20 || lineEnd) << "byte " << int{byte} << " at " << i;
    }
    EXPECT_NE(text.find(" : No response from evil\\x1B]0;title\\x07.test\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" : No response from \\x1B[2Jwiped.test\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" : No response from bare\\x0Dreturn.test\r\n"), std::string::npos) << text;
    EXPECT_EQ(echoed,
              "<4>No response from evil\\x1B]0;title\\x07.test\n<4>No response from \\x1B[2Jwiped.test\n"
              "<4>No response from bare\\x0Dreturn.test\n");
}

TEST_F(LogFile, ServerLineIsLimitedTo599Characters) {
    logNamedLine(std::string(100, 't'), std::string(599, 's'));
    const std::string text = log();
    const size_t start = text.find(" : ") + 3;
    EXPECT_EQ(text.size() - start - 2, 599u);
}

TEST_F(LogFile, MissingDirectoryLosesTheLineQuietly) {
    test::resetProcessState(dir.path(), dir.file("no/such/folder/"));
    logLine("lost");
    EXPECT_FALSE(test::fileExists(dir.file("no")));
}

TEST_F(LogFile, ConcurrentWritersLoseNoLine) {
    constexpr int kThreads = 4;
    constexpr int kLines = 50;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) logLine("writer " + std::to_string(t) + " line " + std::to_string(i));
        });
    }
    for (auto& w : writers) w.join();
    const std::string text = log();
    size_t lines = 0;
    for (size_t at = text.find(" : writer "); at != std::string::npos; at = text.find(" : writer ", at + 1)) ++lines;
    EXPECT_EQ(lines, static_cast<size_t>(kThreads * kLines));
    EXPECT_EQ(text.rfind("Tavrel v1.5 Log"), 0u);
}

TEST_F(LogFile, WritersInOtherProcessesLoseNoLine) {
    constexpr int kProcesses = 3;
    constexpr int kLines = 100;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0; i < kLines; ++i) logLine("process " + std::to_string(p) + " line " + std::to_string(i));
            _exit(0);
        }
        children.push_back(pid);
    }
    for (int i = 0; i < kLines; ++i) logLine("parent line " + std::to_string(i));
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string text = log();
    size_t lines = 0;
    for (size_t at = text.find(" line "); at != std::string::npos; at = text.find(" line ", at + 1)) ++lines;
    EXPECT_EQ(lines, static_cast<size_t>((kProcesses + 1) * kLines));
    EXPECT_EQ(text.rfind("Tavrel v1.5 Log"), 0u);
}

}  // namespace
}  // namespace tavrel
