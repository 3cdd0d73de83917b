// The program run as the system service would run it: started with "/x"
// and a notification socket, stopped with SIGTERM.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <sys/wait.h>
#include <unistd.h>


#include <chrono>
#include <optional>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "storage/last_time.h"
#include "tests/support/fake_time_servers.h"
#include "tests/support/query_fixture.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace tavrel {
namespace {

using Clock = std::chrono::steady_clock;

class ServiceProcess : public ::testing::Test {
protected:
    void SetUp() override {
        const char* program = std::getenv("TAVREL_PROGRAM");
        ASSERT_NE(program, nullptr) << "the test needs TAVREL_PROGRAM";
        std::filesystem::copy_file(program, dir.file("tavrel"));
        notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        const std::string path = dir.file("notify");
        std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
        ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    }
    void TearDown() override {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        close(notify);
    }
    void start(const std::vector<std::string>& extraEnvironment = {}) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
        env.push_back("NOTIFY_SOCKET=" + dir.file("notify"));
        env.push_back("XDG_CONFIG_HOME=" + dir.file("xdg"));
        for (const auto& e : extraEnvironment) env.push_back(e);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string program = dir.file("tavrel");
        char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("/x"), nullptr};
        // Standard error is what the journal would take.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, dir.file("stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ASSERT_EQ(posix_spawn(&child, program.c_str(), &actions, nullptr, argv, envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    // Collects notifications until one contains `text` (or the wait ends).
    bool awaitNotification(const std::string& text, int waitMs = 20000) {
        const auto end = Clock::now() + std::chrono::milliseconds(waitMs);
        while (Clock::now() < end) {
            pollfd p{notify, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buffer[1024];
            const ssize_t n = recv(notify, buffer, sizeof buffer, 0);
            if (n <= 0) continue;
            messages.emplace_back(buffer, static_cast<size_t>(n));
            if (messages.back().find(text) != std::string::npos) return true;
        }
        return false;
    }
    // Waits for the program to end; its exit status, or -1 after the wait.
    int awaitExit(int waitMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(waitMs);
        while (Clock::now() < end) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) == child) {
                child = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            awaitNotification("\x01", 20);  // keeps reading while waiting
        }
        return -1;
    }
    // A server that answers, first in the list: the service's first
    // correction then ends at once.
    void serveTime() {
        sntp.emplace(test::Reply::Correct);
        test::writeFile(dir.file("ServFile.txt"), "127.0.0.1\r\n");
    }
    std::string log() { return test::readFile(dir.file("dLog.txt")); }
    std::string journal() { return test::fileExists(dir.file("stderr")) ? test::readFile(dir.file("stderr")) : ""; }

    test::TempDir dir;
    int notify = -1;
    pid_t child = -1;
    std::vector<std::string> messages;
    std::optional<test::FakeSntpServer> sntp;
};

TEST_F(ServiceProcess, StartsReportsAndStopsOnSigterm) {
    serveTime();
    start();
    ASSERT_TRUE(awaitNotification("READY=1"));
    EXPECT_TRUE(messages.front().find("EXTEND_TIMEOUT_USEC=3000000") != std::string::npos) << messages.front();
    ASSERT_TRUE(test::waitUntil([&] { return log().find("Started Service, ") != std::string::npos; }));
    EXPECT_NE(log().find(" : Started Service, 4 Hrs until AutoSync\r\n"), std::string::npos) << log();

    const auto stopAt = Clock::now();
    kill(child, SIGTERM);
    EXPECT_EQ(awaitExit(10000), 0);
    EXPECT_LT(Clock::now() - stopAt, std::chrono::seconds(5));
    EXPECT_TRUE(awaitNotification("STATUS=Stopped", 1000) ||
                std::any_of(messages.begin(), messages.end(),
                            [](const std::string& m) { return m.find("STATUS=Stopped") != std::string::npos; }));
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(),
                            [](const std::string& m) { return m.find("STOPPING=1") != std::string::npos; }));
    EXPECT_NE(log().find(" : Service Stopped\r\n"), std::string::npos);
    EXPECT_FALSE(test::fileExists(dir.file("vIvod.dat")));
}

// A stop that comes while the service is still starting is not lost: the
// service ends within 5 s, logging "Service Stopped".
TEST_F(ServiceProcess, AStopDuringStartUpIsNotLost) {
    serveTime();
    for (const char* step : {"STATUS=Starting", "READY=1"}) {
        // The stop may come a moment before or after each step: rounds.
        for (int round = 0; round < (step[0] == 'S' ? 20 : 5); ++round) {
            messages.clear();
            std::filesystem::remove(dir.file("dLog.txt"));
            start();
            ASSERT_TRUE(awaitNotification(step)) << step;
            const auto stopAt = Clock::now();
            kill(child, SIGTERM);
            EXPECT_EQ(awaitExit(10000), 0) << "stopped at " << step << ", round " << round;
            EXPECT_LT(Clock::now() - stopAt, std::chrono::seconds(5)) << step;
            EXPECT_NE(log().find(" : Service Stopped\r\n"), std::string::npos) << step << ", round " << round;
            if (child > 0) {
                kill(child, SIGKILL);
                waitpid(child, nullptr, 0);
                child = -1;
            }
        }
    }
}

// A port the service cannot have shows in its status, not "Running" alone.
TEST_F(ServiceProcess, APortItCannotHaveShowsInItsStatus) {
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(123);
    ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    std::string record(500, '\0');
    record[124] = 1;  // timeServerEnabled
    test::writeFile(dir.file("vIvod.dat"), "SYNC1400" + record);
    start();
    EXPECT_TRUE(awaitNotification("STATUS=SNTP Server Port Error"));
    kill(child, SIGTERM);
    EXPECT_EQ(awaitExit(10000), 0);
    close(holder);
}

TEST_F(ServiceProcess, OtherControlsLeaveItRunning) {
    serveTime();
    start();
    ASSERT_TRUE(awaitNotification("READY=1"));
    kill(child, SIGHUP);
    EXPECT_TRUE(awaitNotification("READY=1"));
    EXPECT_EQ(awaitExit(300), -1);
}

TEST_F(ServiceProcess, StartActionCorrectsTheClock) {
    test::FakeTimeServer server(test::Reply::Correct);
    test::writeFile(dir.file("ServFile.txt"), "127.0.0.1\r\n");
    std::string record(500, '\0');
    record[172] = 2;  // programStartAction: Correct
    record[356] = 1;  // logSyncs
    test::writeFile(dir.file("vIvod.dat"), "SYNC1400" + record);
    test::setSimulatedOffsetSeconds(120);
    start();
    ASSERT_TRUE(awaitNotification("READY=1"));
    ASSERT_TRUE(test::waitUntil([&] { return log().find("Tavreled") != std::string::npos; }));
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 2.1);
    // The outcome shows in the service's status (and stays there when it
    // says it is ready, and at a SIGHUP), and every line of the log reaches
    // the journal with its priority.
    EXPECT_NE(messages.back().find("STATUS=Tavreled, Time Corrected"), std::string::npos) << messages.back();
    EXPECT_NE(messages.back().find("Server used was 127.0.0.1 at "), std::string::npos) << messages.back();
    kill(child, SIGHUP);
    ASSERT_TRUE(awaitNotification("READY=1"));
    EXPECT_NE(messages.back().find("STATUS=Tavreled, Time Corrected"), std::string::npos) << messages.back();
    EXPECT_NE(journal().find("<6>Started Service, "), std::string::npos) << journal();
    EXPECT_NE(journal().find("<6>Tavreled, Server used was 127.0.0.1\n"), std::string::npos) << journal();
    kill(child, SIGTERM);
    EXPECT_EQ(awaitExit(10000), 0);
    EXPECT_NE(journal().find("<6>Service Stopped\n"), std::string::npos) << journal();
    test::setSimulatedOffsetSeconds(0);
}

// With default settings the service's first act is a Correct, and it says
// it is ready (boot reaches time-sync.target) only once the clock is right.
TEST_F(ServiceProcess, DefaultSettingsCorrectTheClockBeforeReady) {
    serveTime();
    test::setSimulatedOffsetSeconds(5);
    start();
    ASSERT_TRUE(awaitNotification("READY=1", 40000));
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.1);
    ASSERT_TRUE(test::waitUntil([&] { return log().find("Started Service, 4 Hrs until AutoSync") != std::string::npos; }));
    kill(child, SIGTERM);
    EXPECT_EQ(awaitExit(10000), 0);
    test::setSimulatedOffsetSeconds(0);
}

// A message box raised in the service is an error in the journal.
TEST_F(ServiceProcess, AMessageBoxReachesTheJournalAsAnError) {
    test::writeFile(dir.file("Strings.txt"), "not a strings file\r\n");
    start();
    EXPECT_GE(awaitExit(20000), 0);
    EXPECT_NE(journal().find("<3>Tavrel: String File Error!\n"), std::string::npos) << journal();
}

TEST_F(ServiceProcess, AServerThatDoesNotAnswerIsAWarningAndTheStatus) {
    test::writeFile(dir.file("ServFile.txt"), "127.0.0.1\r\n");  // nothing listens there
    std::string record(500, '\0');
    record[172] = 1;  // programStartAction: Check
    record[364] = 1;  // logErrors
    test::writeFile(dir.file("vIvod.dat"), "SYNC1400" + record);
    const auto startedAt = Clock::now();
    start();
    EXPECT_TRUE(awaitNotification("STATUS=No response from 127.0.0.1 at ", 60000));
    // Ready only after the first correction's 30 s, saying why.
    ASSERT_TRUE(awaitNotification("READY=1", 60000));
    EXPECT_GE(Clock::now() - startedAt, std::chrono::seconds(25));
    EXPECT_TRUE(awaitNotification("STATUS=Clock not yet corrected: no server answered within 30 s; still trying"));
    EXPECT_TRUE(test::waitUntil([&] { return journal().find("<4>No response from 127.0.0.1\n") != std::string::npos; }))
        << journal();
    kill(child, SIGTERM);
    EXPECT_EQ(awaitExit(10000), 0);
}

// With "Use authenticated servers only" the service keeps to the list's
// nts:// entry (its key exchange port has nothing listening): the plain
// server below it is never asked, the clock is left alone, and the status
// and the journal say why.
TEST_F(ServiceProcess, AuthenticatedServersOnlyLeaveThePlainServerAlone) {
    test::FakeSntpServer plain(test::Reply::Correct);
    test::writeFile(dir.file("ServFile.txt"), "nts://127.0.0.1:9\r\n127.0.0.1\r\n");
    std::string record(500, '\0');
    record[20] = 1;   // authenticated servers only
    record[172] = 2;  // programStartAction: Correct
    record[364] = 1;  // logErrors
    test::writeFile(dir.file("vIvod.dat"), "SYNC1400" + record);
    test::setSimulatedOffsetSeconds(120);
    start();
    const std::string refused = "No authenticated server answered; plain servers not asked, clock not corrected";
    EXPECT_TRUE(awaitNotification("STATUS=" + refused, 60000));
    EXPECT_TRUE(test::waitUntil([&] { return journal().find("<4>" + refused + "\n") != std::string::npos; }))
        << journal();
    EXPECT_EQ(plain.requests(), 0);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 120, 1e-6);
    kill(child, SIGTERM);
    EXPECT_EQ(awaitExit(10000), 0);
    test::setSimulatedOffsetSeconds(0);
}

// A clock that starts three days behind the time the service last saved (a
// board without a battery-backed clock boots at its image's time) is
// stepped forward to it before the first sync, and the log says so; the
// step vouches for nothing, so the clock counts as unsynchronised.
TEST_F(ServiceProcess, AClockBehindTheSavedTimeIsSteppedForwardAtStart) {
    test::writeFile(dir.file("ServFile.txt"), "127.0.0.1\r\n");  // nothing answers there
    test::setSimulatedOffsetSeconds(-3 * 86'400);
    const std::string clock = std::getenv("TAVREL_CLOCK_FILE");
    test::writeFile(clock + ".sync", "1 1000 500\n");
    test::writeFile(dir.file(kLastTimeFileName), lastTimeText(test::realNow()));
    start();
    ASSERT_TRUE(test::waitUntil([&] { return log().find("No response from ") != std::string::npos; }, std::chrono::seconds(60)))
        << log();
    const std::string stepped = " : Clock was behind the last saved time; stepped forward by 2591";
    const size_t at = log().find(stepped);
    ASSERT_NE(at, std::string::npos) << log();
    EXPECT_LT(at, log().find("No response from "));
    EXPECT_NE(journal().find("<6>Clock was behind the last saved time; stepped forward by "), std::string::npos);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 5);
    EXPECT_EQ(test::readFile(clock + ".sync").substr(0, 2), "0 ");
    kill(child, SIGTERM);
    EXPECT_EQ(awaitExit(10000), 0);
    test::setSimulatedOffsetSeconds(0);
}

// The time is saved at a good sync and again as the service stops; a clock
// already past the saved time is left alone.
TEST_F(ServiceProcess, TheTimeIsSavedAtAGoodSyncAndAtTheStop) {
    serveTime();
    const std::string file = dir.file(kLastTimeFileName);
    test::writeFile(file, "2020-01-01T00:00:00Z\r\n");
    const auto savedNearNow = [&] {
        if (!test::fileExists(file)) return false;
        const auto saved = parseLastTime(test::readFile(file));
        const platform::FileTime now = test::realNow();
        return saved && *saved + 10 * platform::kFileTimeUnitsPerSecond > now && *saved <= now;
    };
    start();
    ASSERT_TRUE(awaitNotification("READY=1"));
    EXPECT_TRUE(test::waitUntil(savedNearNow)) << test::readFile(file);
    EXPECT_EQ(log().find("Clock was behind"), std::string::npos) << log();
    ASSERT_TRUE(std::filesystem::remove(file));
    kill(child, SIGTERM);
    EXPECT_EQ(awaitExit(10000), 0);
    EXPECT_TRUE(savedNearNow());
}

}  // namespace
}  // namespace tavrel
