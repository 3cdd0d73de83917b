#include <gtest/gtest.h>

#include <cstdlib>

#include "engine/clock_correction.h"
#include "storage/settings.h"
#include "tests/support/environment.h"
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
        settings.logChecks.store(true);
        settings.dateRangeEnabled.store(false);
    }
    Correction correct(CorrectionMode mode, bool sntp) {
        const QueryResult reply = runQuery();
        EXPECT_TRUE(reply.accepted);
        return correctClock(mode, reply, sntp, forceTime, "127.0.0.1");
    }
    bool forceTime = false;
};

TEST_F(ClockCorrection, SntpCorrectBringsTheClockWithin20MsAndLogsTheChange) {
    FakeSntpServer server(Reply::Correct, 0);
    settings.protocol.store(Protocol::Sntp);
    test::setSimulatedOffsetSeconds(3600);
    const Correction c = correct(CorrectionMode::Correct, true);
    EXPECT_TRUE(c.clockSet);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.02);
    ASSERT_TRUE(c.serverClock.has_value());
    const std::string text = log();
    const size_t figure = text.find(" : Tavreled, Time Corrected by -");
    ASSERT_NE(figure, std::string::npos) << text;
    EXPECT_NEAR(std::strtod(text.c_str() + figure + 31, nullptr), -3600, 0.02) << text;
    EXPECT_NE(text.find(", Server used was 127.0.0.1\r\n"), std::string::npos) << text;
    EXPECT_EQ(c.outcome + "\r\n", text.substr(text.find("Tavreled")));
}

TEST_F(ClockCorrection, TimeCorrectBringsTheClockWithinASecond) {
    FakeTimeServer server(Reply::Correct, 0);
    settings.protocol.store(Protocol::Time);
    test::setSimulatedOffsetSeconds(-7200);
    EXPECT_TRUE(correct(CorrectionMode::Correct, false).clockSet);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 1.1);
}

TEST_F(ClockCorrection, CheckLeavesTheClockAndLogsTheDifference) {
    FakeSntpServer server(Reply::Correct, 0);
    settings.protocol.store(Protocol::Sntp);
    test::setSimulatedOffsetSeconds(2.5);
    (void)correct(CorrectionMode::Check, true);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 2.5, 1e-6);
    const std::string text = log();
    // The figure is the server's time less the clock's: about -2.5 s, a hair
    // more or less by the round trip, which may be zero on a fast machine.
    const std::string head = " : Time Checked, Difference found as ";
    const size_t figure = text.find(head);
    ASSERT_NE(figure, std::string::npos) << text;
    EXPECT_NEAR(std::strtod(text.c_str() + figure + head.size(), nullptr), -2.5, 0.02) << text;
}

TEST_F(ClockCorrection, NoCheckLineWhenLoggingIsDisabled) {
    FakeSntpServer server(Reply::Correct, 0);
    settings.protocol.store(Protocol::Sntp);
    settings.logDisabled.store(true);
    (void)correct(CorrectionMode::Check, true);
    EXPECT_EQ(log(), "");
}

TEST_F(ClockCorrection, HugeSntpOffsetFallsBackToWholeSeconds) {
    FakeSntpServer server(Reply::Correct, 0);
    settings.protocol.store(Protocol::Sntp);
    test::setSimulatedOffsetSeconds(-2'000'000);
    EXPECT_TRUE(correct(CorrectionMode::Correct, true).clockSet);
    EXPECT_TRUE(forceTime);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 1.1);
}

TEST_F(ClockCorrection, UserOffsetIsAppliedAndPartOfTheFigure) {
    FakeSntpServer server(Reply::Correct, 0);
    settings.protocol.store(Protocol::Sntp);
    settings.offsetAmount.store(5);
    settings.offsetMultiplier.store(OffsetUnit::Minutes);
    settings.offsetDirection.store(OffsetDirection::Subtract);
    const Correction c = correct(CorrectionMode::Correct, true);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), -300, 0.02);
    EXPECT_NEAR(static_cast<double>(c.difference.units) / 1e7, -300, 0.02);
    EXPECT_FALSE(c.serverClock.has_value());
}

// A clock that cannot be set says so, in the log and in the outcome.
TEST_F(ClockCorrection, UnsettableClockIsReported) {
    FakeTimeServer server(Reply::Correct, 0);
    settings.protocol.store(Protocol::Time);
    const QueryResult reply = runQuery();
    ASSERT_TRUE(reply.accepted);
    ASSERT_NE(std::getenv("TAVREL_CLOCK_FILE"), nullptr);
    Correction c;
    {
        const test::ScopedEnv clock("TAVREL_CLOCK_FILE", dir.path());  // a folder cannot be rewritten as a file
        c = correctClock(CorrectionMode::Correct, reply, false, forceTime, "127.0.0.1");
    }
    EXPECT_FALSE(c.clockSet);
    EXPECT_EQ(c.outcome, "Error setting Time Change Privileges");
    EXPECT_NE(log().find(" : Error setting Time Change Privileges\r\n"), std::string::npos);
}

}  // namespace
}  // namespace tavrel
