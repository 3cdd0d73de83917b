#include <gtest/gtest.h>

#include <cmath>

#include "engine/clock_correction.h"
#include "engine/operation.h"
#include "engine/time_query.h"
#include "platform/time.h"
#include "servers/server_list.h"
#include "storage/settings.h"
#include "tests/support/fake_time_servers.h"
#include "tests/support/query_fixture.h"

namespace tavrel {
namespace {

using test::FakeSntpServer;
using test::FakeTimeServer;
using test::Reply;

class ClockCorrection : public test::QueryTest {
protected:
    void SetUp() override {
        QueryTest::SetUp();
        setCurrentServerName("127.0.0.1");
        settings.logChecks.store(1);
    }
};

TEST_F(ClockCorrection, SntpCorrectBringsTheClockWithin20Ms) {
    FakeSntpServer server(Reply::Correct, 0);
    settings.protocol.store(1);
    test::setSimulatedOffsetSeconds(3600);
    ASSERT_TRUE(runQuery());
    EXPECT_NEAR(measuredOffset.load() / 4294967296.0, -3600 * 429 / 429.4967296, 0.02);
    correctMode.store(1);
    correctClock(kCorrectMode);
    EXPECT_EQ(queryFailed.load(), 0);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.02);
    EXPECT_EQ(correctMode.load(), 0);
    EXPECT_EQ(serverClockRunning.load(), 1);
    const std::string text = log();
    EXPECT_NE(text.find(" : Tavreled, Time Corrected by -3595.8"), std::string::npos) << text;
    EXPECT_NE(text.find(", Server used was 127.0.0.1\r\n"), std::string::npos) << text;
}

TEST_F(ClockCorrection, TimeCorrectBringsTheClockWithinASecond) {
    FakeTimeServer server(Reply::Correct, 0);
    settings.protocol.store(0);
    test::setSimulatedOffsetSeconds(-7200);
    ASSERT_TRUE(runQuery());
    correctMode.store(1);
    correctClock(kCorrectMode);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 1.1);
}

TEST_F(ClockCorrection, CheckLeavesTheClockAndLogsTheDifference) {
    FakeSntpServer server(Reply::Correct, 0);
    settings.protocol.store(1);
    test::setSimulatedOffsetSeconds(2.5);
    ASSERT_TRUE(runQuery());
    correctMode.store(0);
    correctClock(kCheckMode);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 2.5, 1e-6);
    EXPECT_EQ(serverClockRunning.load(), 1);
    const std::string text = log();
    EXPECT_NE(text.find(" : Time Checked, Difference found as -2.4"), std::string::npos) << text;
}

TEST_F(ClockCorrection, NoCheckLineWhenLoggingIsDisabled) {
    FakeSntpServer server(Reply::Correct, 0);
    settings.protocol.store(1);
    settings.logDisabled.store(1);
    ASSERT_TRUE(runQuery());
    correctClock(kCheckMode);
    EXPECT_EQ(log(), "");
}

TEST_F(ClockCorrection, HugeSntpOffsetFallsBackToWholeSeconds) {
    FakeSntpServer server(Reply::Correct, 0);
    settings.protocol.store(1);
    test::setSimulatedOffsetSeconds(-2'000'000);
    ASSERT_TRUE(runQuery());
    ASSERT_GT(offsetSeconds(), 1'500'000);
    correctMode.store(1);
    correctClock(kCorrectMode);
    EXPECT_EQ(settings.forceTimeProtocol.load(), 1);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 1.1);
}

TEST_F(ClockCorrection, UserOffsetIsApplied) {
    FakeSntpServer server(Reply::Correct, 0);
    settings.protocol.store(1);
    settings.offsetAmount.store(5);
    settings.offsetMultiplier.store(1);
    settings.offsetDirection.store(1);
    ASSERT_TRUE(runQuery());
    correctMode.store(1);
    correctClock(kCorrectMode);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), -300, 0.02);
}

}  // namespace
}  // namespace tavrel
