#include <gtest/gtest.h>

#include "app/quick_mode.h"
#include "engine/operation.h"
#include "engine/time_query.h"
#include "servers/server_list.h"
#include "storage/log.h"
#include "storage/settings.h"
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
        settings.protocol.store(0);
        settings.dateRangeEnabled.store(0);
        test::setSimulatedOffsetSeconds(1000);
    }
    // Three addresses on loopback; only 127.0.0.1 has the test's servers.
    void listServers(const std::string& a, const std::string& b, const std::string& c) {
        test::writeFile(dir.file(kServerFileName), a + "\r\n" + b + "\r\n" + c + "\r\n");
    }
};

TEST_F(QuickMode, TriesEveryServerOnceFromTheSelectedOne) {
    listServers("127.0.0.2", "127.0.0.3", "127.0.0.4");
    settings.selectedServer.store(1);
    runQuickMode();
    const std::string text = log();
    EXPECT_EQ(count(text, "No response from "), 3u) << text;
    const size_t second = text.find("No response from 127.0.0.3");
    const size_t third = text.find("No response from 127.0.0.4");
    const size_t first = text.find("No response from 127.0.0.2");
    EXPECT_LT(second, third);
    EXPECT_LT(third, first);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 1000, 1e-6);
}

TEST_F(QuickMode, StartingAtTheFirstServerTriesEachOnceAndAppliesALateSuccess) {
    FakeTimeServer server(Reply::Correct);
    listServers("127.0.0.2", "127.0.0.3", "127.0.0.1");
    settings.selectedServer.store(0);
    runQuickMode();
    EXPECT_EQ(count(log(), "No response from "), 2u);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 1.1);
    EXPECT_NE(log().find("Tavreled"), std::string::npos);
}

TEST_F(QuickMode, NoServerAnsweringFromTheFirstTriesEachOnce) {
    listServers("127.0.0.2", "127.0.0.3", "127.0.0.4");
    settings.selectedServer.store(0);
    runQuickMode();
    EXPECT_EQ(count(log(), "No response from "), 3u);
}

TEST_F(QuickMode, ManualAddressMakesOneQuery) {
    FakeSntpServer server(Reply::Correct);
    settings.protocol.store(1);
    settings.serverSource.store(1);
    setManualAddressA("127.0.0.1");
    listServers("127.0.0.2", "127.0.0.3", "127.0.0.4");
    runQuickMode();
    EXPECT_EQ(server.requests(), 1);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.02);
}

TEST_F(QuickMode, SilentServerTimesOutAfterSyncTimeout) {
    FakeTimeServer server(Reply::Silent);
    listServers("127.0.0.1", "127.0.0.2", "127.0.0.3");
    settings.serverSource.store(0);
    settings.syncTimeout.store(1);
    settings.selectedServer.store(0);
    runQuickMode();
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(count(log(), "No response from "), 3u);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 1000, 1e-6);
}

TEST_F(QuickMode, EmptyListFallsBackToManualA) {
    FakeTimeServer server(Reply::Correct);
    serverListEmpty.store(1);
    setManualAddressA("127.0.0.1");
    runQuickMode();
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(settings.serverSource.load(), 1);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 1.1);
}

TEST_F(QuickMode, ErrorsAreLoggedOnlyWhenAllowed) {
    listServers("127.0.0.2", "127.0.0.3", "127.0.0.4");
    settings.logErrors.store(0);
    runQuickMode();
    EXPECT_EQ(log(), "");
}

}  // namespace
}  // namespace tavrel
