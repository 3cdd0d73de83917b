// Queries, checks and corrections against real Debian time servers:
// chronyd answering SNTP and xinetd's RFC 868 time service, both on
// 127.0.0.1 in the private network namespace the calling script made.
#include <gtest/gtest.h>

#include <chrono>

#include "engine/clock_correction.h"
#include "engine/time_query.h"
#include "gui/dialog.h"
#include "gui/dialog_testing.h"
#include "resources/dialogs.h"
#include "servers/server_list.h"
#include "storage/settings.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/fake_time_servers.h"
#include "ui/scan_window.h"

namespace tavrel {
namespace {

class RealPeers : public test::EngineTest {
protected:
    Correction correct(CorrectionMode mode) {
        const QueryResult reply = runQuery();
        EXPECT_TRUE(reply.accepted);
        bool force = false;
        return correctClock(mode, reply, settings.protocol.load() == Protocol::Sntp, force, "127.0.0.1");
    }
};

TEST_F(RealPeers, SntpCorrectFromChronyWithin20Ms) {
    settings.protocol.store(Protocol::Sntp);
    test::setSimulatedOffsetSeconds(3600);
    EXPECT_TRUE(correct(CorrectionMode::Correct).clockSet);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.02);
    EXPECT_NE(log().find("Tavreled"), std::string::npos);
}

TEST_F(RealPeers, TimeCorrectFromXinetdWithinASecond) {
    settings.protocol.store(Protocol::Time);
    test::setSimulatedOffsetSeconds(-3600);
    EXPECT_TRUE(correct(CorrectionMode::Correct).clockSet);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 1.1);
}

TEST_F(RealPeers, SntpCheckLeavesTheClockAndLogsTheExactDifference) {
    settings.protocol.store(Protocol::Sntp);
    settings.logChecks.store(true);
    test::setSimulatedOffsetSeconds(3600);
    (void)correct(CorrectionMode::Check);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 3600, 1e-6);
    const std::string text = log();
    // An hour, give or take the exchange's few microseconds either way.
    EXPECT_TRUE(text.find(" : Time Checked, Difference found as -3599.9") != std::string::npos ||
                text.find(" : Time Checked, Difference found as -3600.0") != std::string::npos)
        << text;
    EXPECT_NE(text.find(", Server used was 127.0.0.1"), std::string::npos) << text;
}

TEST_F(RealPeers, ReplyOutsideTheDateRangeFailsThenPassesAfterAutoReset) {
    settings.protocol.store(Protocol::Sntp);
    settings.dateRangeEnabled.store(true);
    settings.dateRangeAutoReset.store(true);
    // A range that ends a little before now.
    const platform::FileTime now = platform::getSystemTimeAsFileTime();
    settings.dateRangeHigh.store(platform::makeFileTime(platform::upperWord(now) - 2, 0));
    const QueryResult refused = runQuery();
    EXPECT_FALSE(refused.accepted);
    widenDateRange(refused);
    EXPECT_TRUE(runQuery().accepted);
}

TEST_F(RealPeers, ScanMeasuresTheRealServersAndADeadAddress) {
    listServers({"127.0.0.1", "127.0.0.9"});
    gui::testing::resetDialogManager();
    gui::testing::useManualTimers(true);
    ScanWindow scan(*engine);
    ASSERT_TRUE(scan.open());
    const gui::WindowHandle w = scan.window();
    ASSERT_TRUE(test::waitUntil([&] {
        if (gui::windowText(w) == "Scan Servers - Finished") return true;
        if (scan.measurementDone()) gui::testing::fireTimer(w, kScanTimerId);
        gui::pumpMessages();
        return false;
    }));
    const auto rows = gui::listViewRows(w, kIdScanList);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_FALSE(rows[0][2].empty());
    EXPECT_EQ(rows[0][2].find_first_not_of("0123456789"), std::string::npos) << rows[0][2];
    EXPECT_EQ(rows[0][3].find_first_not_of("0123456789"), std::string::npos) << rows[0][3];
    EXPECT_EQ(rows[1][2], "Error");
    EXPECT_EQ(rows[1][3], "Error");
    scan.end();
    EXPECT_TRUE(test::waitUntil([&scan] { return !scan.queriesPending(); }));
    gui::testing::resetDialogManager();
}

// With "Average", one liar (100 s ahead) among chronyd and an honest
// server cannot move the clock, wherever it stands in the list: the middle
// of the replies is used, at each reply's full precision.
TEST_F(RealPeers, AveragingOutvotesALiarInEveryOrder) {
    test::FakeSntpServer honestSntp(test::Reply::Correct, 0, 0, test::listenAt(0x7F000003));
    test::FakeSntpServer liarSntp(test::Reply::Correct, 100'000, 0, test::listenAt(0x7F000002));
    test::FakeTimeServer honestTime(test::Reply::Correct, 0, 0, test::listenAt(0x7F000003));
    const std::vector<std::vector<std::string>> orders = {{"127.0.0.2", "127.0.0.1", "127.0.0.3"},
                                                          {"127.0.0.1", "127.0.0.2", "127.0.0.3"},
                                                          {"127.0.0.1", "127.0.0.3", "127.0.0.2"}};
    settings.averageEnabled.store(true);
    for (const Protocol protocol : {Protocol::Sntp, Protocol::Time}) {
        settings.protocol.store(protocol);
        for (const auto& order : orders) {
            // The TIME liar serves a fixed second, 100 s ahead of now.
            const auto now = std::chrono::system_clock::now().time_since_epoch();
            const auto liarSeconds = static_cast<uint32_t>(
                std::chrono::duration_cast<std::chrono::seconds>(now).count() + 2'208'988'800LL + 100);
            test::FakeTimeServer liarTime(test::Reply::Correct, liarSeconds, 0, test::listenAt(0x7F000002));
            listServers(order);
            settings.selectedServer.store(0);
            test::setSimulatedOffsetSeconds(-5);
            ASSERT_TRUE(engine->requestOperation(OperationKind::Correct));
            ASSERT_TRUE(runToEnd());
            const double bound = protocol == Protocol::Sntp ? 0.010 : 1.0;
            EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, bound)
                << (protocol == Protocol::Sntp ? "SNTP" : "TIME") << ", liar at " << order[0] << " " << order[1] << " " << order[2];
        }
    }
}

}  // namespace
}  // namespace tavrel
