#include <gtest/gtest.h>

#include "gui/dialog.h"
#include "gui/dialog_testing.h"
#include "resources/dialogs.h"
#include "servers/server_list.h"
#include "storage/settings.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/environment.h"
#include "tests/support/fake_time_servers.h"
#include "tests/support/temp_dir.h"
#include "ui/scan_window.h"

namespace tavrel {
namespace {

using test::FakeSntpServer;
using test::FakeTimeServer;
using test::Reply;

bool isNumber(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

class ScanWindowTest : public test::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        gui::testing::resetDialogManager();
        gui::testing::useManualTimers(true);
        scan = std::make_unique<ScanWindow>(*engine);
    }
    void TearDown() override {
        scan->end();
        EXPECT_TRUE(test::waitUntil([this] { return !scan->queriesPending(); }));
        scan.reset();
        gui::testing::resetDialogManager();
        EngineTest::TearDown();
    }
    gui::WindowHandle scanWindow() const { return scan->window(); }
    // Fires the scan's one-second timer whenever its measurement is done,
    // until the title says the scan is finished.
    bool runScan() {
        return test::waitUntil([this] {
            const gui::WindowHandle w = scanWindow();
            if (w == gui::kNoWindow) return true;
            if (gui::windowText(w) == "Scan Servers - Finished") return true;
            if (scan->measurementDone()) gui::testing::fireTimer(w, kScanTimerId);
            gui::pumpMessages();
            return false;
        });
    }
    std::unique_ptr<ScanWindow> scan;
};

// "Sort by response": the answering server first, the silent one last, the
// comment kept on top, the old list kept as ServFile.bak.
TEST_F(ScanWindowTest, SortByResponsePutsTheAnsweringServersFirstAndKeepsTheOldList) {
    if (test::runningUnderWine()) GTEST_SKIP() << "Wine never fails the receive after a datagram to a closed port";
    FakeSntpServer sntp(Reply::Correct);
    const std::string old = "# mine\r\n127.0.0.2\n127.0.0.1\r\n";
    test::writeFile(dir.file(kServerFileName), old);
    ASSERT_TRUE(scan->open());
    EXPECT_FALSE(gui::isDlgItemEnabled(scanWindow(), kIdScanSort));
    ASSERT_TRUE(runScan());
    ASSERT_TRUE(gui::isDlgItemEnabled(scanWindow(), kIdScanSort));
    gui::postCommand(scanWindow(), kIdScanSort);
    gui::pumpMessages();
    EXPECT_EQ(test::readFile(dir.file(kServerFileName)), "# mine\r\n127.0.0.1\r\n127.0.0.2\r\n");
    EXPECT_EQ(test::readFile(dir.file("ServFile.bak")), old);
}

TEST_F(ScanWindowTest, MeasuresEveryListedServerByBothProtocolsAndChangesNoSetting) {
    if (test::runningUnderWine()) GTEST_SKIP() << "Wine never fails the receive after a datagram to a closed port";
    FakeTimeServer time(Reply::Correct);
    FakeSntpServer sntp(Reply::Correct);
    listServers({"127.0.0.1", "127.0.0.2"});
    settings.protocol.store(Protocol::Auto);
    settings.selectedServer.store(1);
    settings.serverSource.store(ServerSource::ManualA);  // Manual A: the scan measures the list all the same
    ASSERT_TRUE(scan->open());
    EXPECT_TRUE(engine->scanActive());
    // A page change while the scan runs stands.
    settings.serverSource.store(ServerSource::ManualB);
    ASSERT_TRUE(runScan());
    const auto rows = gui::listViewRows(scanWindow(), kIdScanList);
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
    scan->end();
    EXPECT_EQ(settings.protocol.load(), Protocol::Auto);
    EXPECT_EQ(settings.selectedServer.load(), 1);
    EXPECT_EQ(settings.serverSource.load(), ServerSource::ManualB);
    EXPECT_FALSE(engine->scanActive());
}

TEST_F(ScanWindowTest, AnUnknownNameShowsNoAddress) {
    listServers({"127.0.0.1", "no-such-host.invalid"});
    FakeTimeServer time(Reply::Correct);
    FakeSntpServer sntp(Reply::Correct);
    ASSERT_TRUE(scan->open());
    ASSERT_TRUE(runScan());
    const auto rows = gui::listViewRows(scanWindow(), kIdScanList);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][1], "");
    EXPECT_EQ(rows[1][2], "Error");
}

TEST_F(ScanWindowTest, ClosingMidQueryReturnsAtOnce) {
    FakeTimeServer time(Reply::Silent);
    ASSERT_TRUE(scan->open());
    ASSERT_TRUE(test::waitUntil([&] { return time.connections() > 0; }));
    gui::postMessage(scanWindow(), gui::WindowMessage{gui::MessageKind::Close});
    gui::pumpMessages();
    EXPECT_EQ(scanWindow(), gui::kNoWindow);
    EXPECT_FALSE(engine->scanActive());
}

TEST_F(ScanWindowTest, SilentServerTimesOutByTheCountdown) {
    FakeTimeServer time(Reply::Silent);
    ASSERT_TRUE(scan->open());
    const gui::WindowHandle w = scanWindow();
    ASSERT_TRUE(test::waitUntil([&] { return time.connections() > 0; }));
    // 50 tenths lose 7 a tick: the sixth tick falls below 10.
    for (int tick = 0; tick < 6; ++tick) {
        gui::testing::fireTimer(w, kScanTimerId);
        gui::pumpMessages();
    }
    EXPECT_EQ(gui::listViewRows(w, kIdScanList)[0][2], "Time out");
}

TEST_F(ScanWindowTest, RefusedWhileAnOperationRunsAndHoldsOperationsBack) {
    ASSERT_TRUE(engine->requestOperation(OperationKind::Check));
    EXPECT_FALSE(scan->open());
    engine->requestAbort();
    engine->runPass();
    listServers({});
    ASSERT_TRUE(scan->open());
    EXPECT_FALSE(scan->open());  // one scan at a time
    EXPECT_EQ(gui::windowText(scanWindow()), "Scan Servers - Finished");
    EXPECT_TRUE(gui::listViewRows(scanWindow(), kIdScanList).empty());
    EXPECT_TRUE(engine->operationOrScanRunning());
}

}  // namespace
}  // namespace tavrel
