// Queries, checks and corrections against real Debian time servers:
// chronyd answering SNTP and xinetd's RFC 868 time service, both on
// 127.0.0.1 in the private network namespace the calling script made.
#include <gtest/gtest.h>

#include "engine/clock_correction.h"
#include "engine/operation.h"
#include "engine/time_query.h"
#include "servers/server_list.h"
#include "storage/settings.h"
#include "tests/support/query_fixture.h"

namespace tavrel {
namespace {

class RealPeers : public test::QueryTest {
protected:
    void SetUp() override {
        QueryTest::SetUp();
        setCurrentServerName("127.0.0.1");
    }
};

TEST_F(RealPeers, SntpCorrectFromChronyWithin20Ms) {
    settings.protocol.store(1);
    test::setSimulatedOffsetSeconds(3600);
    ASSERT_TRUE(runQuery());
    correctMode.store(1);
    correctClock(kCorrectMode);
    EXPECT_EQ(queryFailed.load(), 0);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.02);
    EXPECT_NE(log().find("Tavreled"), std::string::npos);
}

TEST_F(RealPeers, TimeCorrectFromXinetdWithinASecond) {
    settings.protocol.store(0);
    test::setSimulatedOffsetSeconds(-3600);
    ASSERT_TRUE(runQuery());
    correctMode.store(1);
    correctClock(kCorrectMode);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 1.1);
}

TEST_F(RealPeers, SntpCheckLeavesTheClockAndLogs) {
    settings.protocol.store(1);
    settings.logChecks.store(1);
    test::setSimulatedOffsetSeconds(3600);
    ASSERT_TRUE(runQuery());
    correctClock(kCheckMode);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 3600, 1e-6);
    const std::string text = log();
    EXPECT_NE(text.find(" : Time Checked, Difference found as -3595."), std::string::npos) << text;
    EXPECT_NE(text.find(", Server used was 127.0.0.1"), std::string::npos) << text;
}

TEST_F(RealPeers, ReplyOutsideTheDateRangeFailsThenPassesAfterAutoReset) {
    settings.protocol.store(1);
    settings.dateRangeEnabled.store(1);
    settings.dateRangeAutoReset.store(1);
    // A range that ends a little before now.
    const platform::FileTime now = platform::getSystemTimeAsFileTime();
    settings.dateRangeHigh.store(platform::makeFileTime(platform::upperWord(now) - 2, 0));
    EXPECT_FALSE(runQuery());
    EXPECT_EQ(queryFailed.load(), 1);
    EXPECT_TRUE(runQuery());
}

}  // namespace
}  // namespace tavrel
