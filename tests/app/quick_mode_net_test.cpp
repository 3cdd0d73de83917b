#include <gtest/gtest.h>

#include <cstdlib>

#include "app/quick_mode.h"
#include "servers/server_list.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "tests/support/environment.h"
#include "tests/support/fake_time_servers.h"
#include "tests/support/query_fixture.h"

namespace tavrel {
namespace {

using test::FakeSntpServer;
using test::FakeTimeServer;
using test::Reply;

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class QuickMode : public test::QueryTest {
protected:
    void SetUp() override {
        QueryTest::SetUp();
        settings.protocol.store(Protocol::Time);
        settings.dateRangeEnabled.store(false);
        settings.syncTimeout.store(std::chrono::seconds(5));
        test::setSimulatedOffsetSeconds(1000);
    }
    // Three addresses on loopback; only 127.0.0.1 has the test's servers.
    void listServers(const std::string& a, const std::string& b, const std::string& c) {
        test::writeFile(dir.file(kServerFileName), a + "\r\n" + b + "\r\n" + c + "\r\n");
    }
    // Runs "/q"; its status, with what it wrote to standard error in `said`.
    int run() {
        ::testing::internal::CaptureStderr();
        const int status = runQuickMode();
        said = ::testing::internal::GetCapturedStderr();
        return status;
    }
    std::string said;
};

TEST_F(QuickMode, TriesEveryServerOnceFromTheSelectedOne) {
    listServers("127.0.0.2", "127.0.0.3", "127.0.0.4");
    settings.selectedServer.store(1);
    EXPECT_EQ(run(), kQuickNoAnswer);
    EXPECT_EQ(said,
              "No response from 127.0.0.3 by TIME\nNo response from 127.0.0.4 by TIME\nNo response from 127.0.0.2 by TIME\n"
              "Unable to sync from 127.0.0.3, 127.0.0.4, 127.0.0.2\n");
    EXPECT_EQ(count(log(), "No response from "), 3u);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 1000, 1e-6);
}

TEST_F(QuickMode, ALateSuccessIsAppliedAndSaidLast) {
    FakeTimeServer server(Reply::Correct);
    listServers("127.0.0.2", "127.0.0.3", "127.0.0.1");
    EXPECT_EQ(run(), kQuickCorrected);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 1.1);
    EXPECT_TRUE(said.starts_with("No response from 127.0.0.2 by TIME\nNo response from 127.0.0.3 by TIME\nTavreled, ")) << said;
    EXPECT_TRUE(said.ends_with(", Server used was 127.0.0.1\n")) << said;
    EXPECT_NE(log().find("Tavreled"), std::string::npos);
}

TEST_F(QuickMode, ManualAddressIsTheOnlyServerAsked) {
    FakeSntpServer server(Reply::Correct);
    settings.protocol.store(Protocol::Sntp);
    settings.serverSource.store(ServerSource::ManualA);
    setManualAddressA("127.0.0.1");
    listServers("127.0.0.2", "127.0.0.3", "127.0.0.4");
    EXPECT_EQ(run(), kQuickCorrected);
    EXPECT_EQ(server.requests(), 4);  // one query, its four samples
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.02);
}

// The run ends at once, so even a change small enough to slew is stepped:
// the whole correction is made when the run ends (a slew would take minutes
// and, where the system does not carry it on, end with the process), and
// the line says it was a step.
TEST_F(QuickMode, ASmallCorrectionIsSteppedWhole) {
    FakeSntpServer server(Reply::Correct);
    settings.protocol.store(Protocol::Sntp);
    listServers("127.0.0.1", "127.0.0.2", "127.0.0.3");
    ASSERT_FALSE(settings.slewDisabled.load());
    test::setSimulatedOffsetSeconds(0.3);
    EXPECT_EQ(run(), kQuickCorrected);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.02);
    const std::string clock = test::readFile(std::getenv("TAVREL_CLOCK_FILE"));
    EXPECT_EQ(clock.find(' '), std::string::npos) << "a slew is recorded: " << clock;
    EXPECT_TRUE(said.starts_with("Tavreled, ")) << said;
    EXPECT_EQ(said.find("Slewing"), std::string::npos) << said;
}

TEST_F(QuickMode, SilentServerTimesOutAfterSyncTimeout) {
    FakeTimeServer server(Reply::Silent);
    listServers("127.0.0.1", "127.0.0.2", "127.0.0.3");
    EXPECT_EQ(run(), kQuickNoAnswer);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(count(log(), "No response from "), 3u);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 1000, 1e-6);
}

TEST_F(QuickMode, RefusedRepliesCountAsNoAnswer) {
    FakeTimeServer server(Reply::Correct, 3'452'846'400u);  // 2009
    listServers("127.0.0.1", "127.0.0.2", "127.0.0.3");
    settings.dateRangeEnabled.store(true);
    settings.dateRangeAutoReset.store(false);
    EXPECT_EQ(run(), kQuickNoAnswer);
    EXPECT_TRUE(said.starts_with("No response from 127.0.0.1 by TIME\n")) << said;
}

TEST_F(QuickMode, EmptyListFallsBackToManualA) {
    FakeTimeServer server(Reply::Correct);
    test::writeFile(dir.file(kServerFileName), "#no entry\r\n");
    ASSERT_EQ(refreshServerList([](int, std::string_view) {}), 0);
    setManualAddressA("127.0.0.1");
    EXPECT_EQ(run(), kQuickCorrected);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(settings.serverSource.load(), ServerSource::ManualA);
}

TEST_F(QuickMode, ErrorsAreLoggedOnlyWhenAllowed) {
    listServers("127.0.0.2", "127.0.0.3", "127.0.0.4");
    settings.logErrors.store(false);
    EXPECT_EQ(run(), kQuickNoAnswer);
    EXPECT_EQ(log(), "");
}

// Under Auto a server that SNTP reaches in vain is asked by TIME, as the
// window program does; one that sends a Kiss-o'-Death is not, and the line
// names the kiss.
TEST_F(QuickMode, AutoAsksByTimeWhereSntpFails) {
    FakeTimeServer server(Reply::Correct);
    listServers("127.0.0.1", "127.0.0.2", "127.0.0.3");
    settings.protocol.store(Protocol::Auto);
    EXPECT_EQ(run(), kQuickCorrected);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.6);

    FakeSntpServer kisser(Reply::KissDeny);
    test::setSimulatedOffsetSeconds(1000);
    EXPECT_EQ(run(), kQuickNoAnswer);
    EXPECT_TRUE(said.starts_with("No response from 127.0.0.1 by SNTP (refused: DENY)\n")) << said;
    EXPECT_EQ(server.connections(), 1);
}

// Under Auto a server that answers neither way has one line, naming both,
// in the log as on standard error.
TEST_F(QuickMode, AServerAskedBothWaysHasOneLine) {
    listServers("127.0.0.2", "127.0.0.3", "127.0.0.4");
    settings.protocol.store(Protocol::Auto);
    EXPECT_EQ(run(), kQuickNoAnswer);
    EXPECT_TRUE(said.starts_with("No response from 127.0.0.2 by SNTP and TIME\nNo response from 127.0.0.3 by SNTP and TIME\n"))
        << said;
    EXPECT_EQ(count(said, "No response from "), 3u) << said;
    EXPECT_EQ(count(log(), "No response from "), 3u) << log();
    EXPECT_NE(log().find("No response from 127.0.0.4 by SNTP and TIME"), std::string::npos) << log();
}

// The whole run has a bound: a server silent past it is the last asked,
// and the last line says the run stopped.
TEST_F(QuickMode, TheRunStopsAtItsBound) {
    FakeTimeServer server(Reply::Silent);
    listServers("127.0.0.1", "127.0.0.1", "127.0.0.1");
    settings.syncTimeout.store(std::chrono::seconds(30));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(runQuickMode(std::chrono::seconds(1)), kQuickNoAnswer);
    said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "No response from 127.0.0.1 by TIME\nUnable to sync from 127.0.0.1 (stopped after 1 s)\n");
    EXPECT_EQ(server.connections(), 1);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 1000, 1e-6);
}

TEST(QuickRunLimit, ComesFromTheEnvironmentWhenItIsAWholeNumberOfSeconds) {
    {
        const test::ScopedEnv unset("TAVREL_QUICK_LIMIT", nullptr);
        EXPECT_EQ(quickRunLimit(), kQuickRunLimit);
    }
    {
        const test::ScopedEnv limit("TAVREL_QUICK_LIMIT", "90");
        EXPECT_EQ(quickRunLimit(), std::chrono::seconds(90));
    }
    for (const char* bad : {"0", "-5", "12s", "abc", "86401", "99999999999999999999"}) {
        const test::ScopedEnv limit("TAVREL_QUICK_LIMIT", bad);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(quickRunLimit(), kQuickRunLimit) << bad;
        EXPECT_NE(::testing::internal::GetCapturedStderr().find("TAVREL_QUICK_LIMIT is not a number of seconds"),
                  std::string::npos)
            << bad;
    }
}

}  // namespace
}  // namespace tavrel
