#include <gtest/gtest.h>

#include "engine/operation.h"
#include "engine/time_query.h"
#include "platform/dialog.h"
#include "platform/dialog_testing.h"
#include "resources/dialogs.h"
#include "servers/server_list.h"
#include "servers/server_scan.h"
#include "storage/settings.h"
#include "tests/support/environment.h"
#include "tests/support/fake_time_servers.h"
#include "tests/support/window_fixture.h"

namespace tavrel {
namespace {

using test::FakeSntpServer;
using test::FakeTimeServer;
using test::Reply;

bool isNumber(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

class ServerScan : public test::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        settings.dateRangeEnabled.store(0);
        settings.syncTimeout.store(5);
    }
    void TearDown() override {
        endServerScan();
        WindowTest::TearDown();
    }
    // Fires the scan's one-second timer whenever the query it waits for has
    // ended, until the title says the scan is finished.
    bool runScan() {
        return test::waitUntil([] {
            const platform::WindowHandle w = scanWindow();
            if (w == platform::kNoWindow) return true;
            if (platform::windowText(w) == "Scan Servers - Finished") return true;
            if (queryThread.load() == 0) platform::testing::fireTimer(w, kScanTimerId);
            platform::pumpMessages();
            return false;
        });
    }
};

TEST_F(ServerScan, MeasuresEveryListedServerByBothProtocols) {
    if (test::runningUnderWine()) GTEST_SKIP() << "Wine never fails the receive after a datagram to a closed port";
    FakeTimeServer time(Reply::Correct);
    FakeSntpServer sntp(Reply::Correct);
    test::writeFile(dir.file(kServerFileName), "127.0.0.1\r\n127.0.0.2\r\n");
    settings.protocol.store(2);
    settings.selectedServer.store(1);
    settings.serverSource.store(1);  // Manual A: the scan measures the list all the same
    autoProtocolChoice.store(0);
    ASSERT_TRUE(openServerScan(window));
    EXPECT_EQ(scanActive.load(), 1);
    ASSERT_TRUE(runScan());
    const platform::WindowHandle w = scanWindow();
    const auto rows = platform::listViewRows(w, kIdScanList);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "127.0.0.1");
    EXPECT_EQ(rows[0][1], "127.0.0.1");
    EXPECT_TRUE(isNumber(rows[0][2])) << rows[0][2];
    EXPECT_TRUE(isNumber(rows[0][3])) << rows[0][3];
    EXPECT_EQ(rows[1][0], "127.0.0.2");
    EXPECT_EQ(rows[1][2], "Error");
    EXPECT_EQ(rows[1][3], "Error");
    EXPECT_EQ(time.connections(), 1);
    EXPECT_EQ(sntp.requests(), 1);
    endServerScan();
    EXPECT_EQ(settings.protocol.load(), 2);
    EXPECT_EQ(settings.selectedServer.load(), 1);
    EXPECT_EQ(settings.serverSource.load(), 1);
    EXPECT_EQ(autoProtocolChoice.load(), 0);
    EXPECT_EQ(scanActive.load(), 0);
    EXPECT_EQ(syncState.load(), kSyncIdle);
}

TEST_F(ServerScan, ClosingMidQueryAbortsAtOnce) {
    FakeTimeServer time(Reply::Silent);
    test::writeFile(dir.file(kServerFileName), "127.0.0.1\r\n");
    ASSERT_TRUE(openServerScan(window));
    ASSERT_TRUE(test::waitUntil([] { return queryStep.load() >= 4; }));
    platform::postMessage(scanWindow(), platform::WindowMessage{platform::MessageKind::Close});
    platform::pumpMessages();
    EXPECT_EQ(scanWindow(), platform::kNoWindow);
    EXPECT_EQ(queryThread.load(), 0u);
    EXPECT_EQ(syncState.load(), kSyncIdle);
}

TEST_F(ServerScan, SilentServerTimesOutByTheCountdown) {
    FakeTimeServer time(Reply::Silent);
    test::writeFile(dir.file(kServerFileName), "127.0.0.1\r\n");
    ASSERT_TRUE(openServerScan(window));
    const platform::WindowHandle w = scanWindow();
    ASSERT_TRUE(test::waitUntil([] { return queryStep.load() >= 4; }));
    // 50 tenths lose 7 a tick: the sixth tick falls below 10.
    for (int tick = 0; tick < 6; ++tick) {
        platform::testing::fireTimer(w, kScanTimerId);
        platform::pumpMessages();
    }
    EXPECT_EQ(platform::listViewRows(w, kIdScanList)[0][2], "Time out");
}

TEST_F(ServerScan, RefusedWhileAnOperationRuns) {
    syncState.store(kSyncActive);
    EXPECT_FALSE(openServerScan(window));
    syncState.store(kSyncIdle);
}

TEST_F(ServerScan, EmptyListFinishesAtOnce) {
    test::writeFile(dir.file(kServerFileName), "");
    ASSERT_TRUE(openServerScan(window));
    EXPECT_EQ(platform::windowText(scanWindow()), "Scan Servers - Finished");
    EXPECT_TRUE(platform::listViewRows(scanWindow(), kIdScanList).empty());
}

}  // namespace
}  // namespace tavrel
