#include <gtest/gtest.h>

#include <cmath>

#include "engine/clock_correction.h"
#include "engine/operation.h"
#include "protocol/time_protocol.h"
#include "engine/time_query.h"
#include "servers/server_list.h"
#include "storage/settings.h"
#include "tests/support/environment.h"
#include "tests/support/fake_time_servers.h"
#include "tests/support/query_fixture.h"

namespace tavrel {
namespace {

using test::FakeSntpServer;
using test::FakeTimeServer;
using test::Reply;

constexpr uint32_t kJune2009 = 3'452'846'400u;

class TimeQuery : public test::QueryTest {
protected:
    void SetUp() override {
        QueryTest::SetUp();
        setCurrentServerName("127.0.0.1");
        settings.dateRangeEnabled.store(0);
    }
    void useTime() { settings.protocol.store(0); }
    void useSntp() { settings.protocol.store(1); }
    void expectFailedAndReleased() {
        EXPECT_EQ(queryFailed.load(), 1);
        EXPECT_NE(queryStep.load(), 6u);
        EXPECT_EQ(queryThread.load(), 0u);
        EXPECT_EQ(syncState.load(), kSyncIdle);
    }
};

TEST_F(TimeQuery, TimeReplyIsAccepted) {
    FakeTimeServer server(Reply::Correct, kJune2009);
    ASSERT_TRUE(server.listening());
    useTime();
    ASSERT_TRUE(runQuery());
    EXPECT_EQ(serverSeconds.load(), kJune2009);
    EXPECT_EQ(serverAddressText(), "127.0.0.1");
    EXPECT_EQ(measuredOffset.load(), 0);
    EXPECT_EQ(queryThread.load(), 0u);
    EXPECT_EQ(timeoutCountdown.load(), 150);
}

TEST_F(TimeQuery, TimeReplyInTwoPiecesIsAccepted) {
    FakeTimeServer server(Reply::InPieces, kJune2009);
    useTime();
    ASSERT_TRUE(runQuery());
    EXPECT_EQ(serverSeconds.load(), kJune2009);
}

TEST_F(TimeQuery, TimeReplyCutShortFails) {
    FakeTimeServer server(Reply::ShortThenClose, kJune2009);
    useTime();
    EXPECT_FALSE(runQuery());
    expectFailedAndReleased();
}

TEST_F(TimeQuery, TimeServerClosingWithoutDataFails) {
    FakeTimeServer server(Reply::CloseAtOnce, kJune2009);
    useTime();
    EXPECT_FALSE(runQuery());
    expectFailedAndReleased();
    EXPECT_EQ(queryStep.load(), 4u);
}

TEST_F(TimeQuery, RefusedConnectionFails) {
    useTime();
    EXPECT_FALSE(runQuery());
    expectFailedAndReleased();
    EXPECT_EQ(queryStep.load(), 3u);
}

TEST_F(TimeQuery, SilentTimeServerIsAborted) {
    FakeTimeServer server(Reply::Silent, kJune2009);
    useTime();
    EXPECT_FALSE(runQuery(true));
    expectFailedAndReleased();
    EXPECT_EQ(settings.abortQuery.load(), 1);
}

TEST_F(TimeQuery, UnresolvableNameFails) {
    setCurrentServerName("no-such-host.invalid");
    useTime();
    EXPECT_FALSE(runQuery());
    expectFailedAndReleased();
    EXPECT_EQ(queryStep.load(), 2u);
}

TEST_F(TimeQuery, NameWithTrailingSpaceIsLookedUpAsItStands) {
    setCurrentServerName("localhost ");
    FakeTimeServer server(Reply::Correct, kJune2009);
    useTime();
    EXPECT_FALSE(runQuery());
    EXPECT_EQ(queryStep.load(), 2u);
}

TEST_F(TimeQuery, ManualSourceNamesTheAddress) {
    FakeTimeServer server(Reply::Correct, kJune2009);
    setCurrentServerName("something.else");
    settings.serverSource.store(1);
    setManualAddressA("127.0.0.1");
    useTime();
    ASSERT_TRUE(runQuery());
    EXPECT_EQ(currentServerName(), "127.0.0.1");
}

TEST_F(TimeQuery, SntpReplyGivesTheOffset) {
    FakeSntpServer server(Reply::Correct, 3'600'000);
    ASSERT_TRUE(server.listening());
    useSntp();
    ASSERT_TRUE(runQuery());
    // The offset is scaled by the integer factor 429 (not 429.4967...), so
    // it reads a little under the true difference.
    EXPECT_NEAR(measuredOffset.load() / 4294967296.0, 3600 * 429 / 429.4967296, 0.02);
    EXPECT_EQ(serverClockRunning.load(), 0);
    const std::vector<uint8_t> request = server.lastRequest();
    ASSERT_EQ(request.size(), 48u);
    EXPECT_EQ(request[0], 0x1B);
    EXPECT_NE(readWord(request, 24), 0u);
    EXPECT_EQ(readWord(request, 40), 0u);
}

TEST_F(TimeQuery, AutoUsesTheRememberedProtocol) {
    FakeSntpServer sntp(Reply::Correct, 0);
    settings.protocol.store(2);
    autoProtocolChoice.store(1);
    ASSERT_TRUE(runQuery());
    EXPECT_EQ(sntp.requests(), 1);
    FakeTimeServer time(Reply::Correct, kJune2009);
    autoProtocolChoice.store(0);
    ASSERT_TRUE(runQuery());
    EXPECT_EQ(time.connections(), 1);
    EXPECT_EQ(serverSeconds.load(), kJune2009);
}

TEST_F(TimeQuery, ForcedTimeProtocolOverridesSntp) {
    FakeTimeServer server(Reply::Correct, kJune2009);
    useSntp();
    settings.forceTimeProtocol.store(1);
    ASSERT_TRUE(runQuery());
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(TimeQuery, ShortSntpReplyFails) {
    FakeSntpServer server(Reply::ShortThenClose);
    useSntp();
    settings.abortQuery.store(1);  // one receive call: the short datagram alone
    EXPECT_FALSE(runQuery());
    expectFailedAndReleased();
}

TEST_F(TimeQuery, SntpReplyWithoutTransmitTimestampFails) {
    FakeSntpServer server(Reply::ZeroTransmit);
    useSntp();
    EXPECT_FALSE(runQuery());
    expectFailedAndReleased();
    EXPECT_EQ(queryStep.load(), 5u);
}

TEST_F(TimeQuery, SilentSntpServerIsAborted) {
    FakeSntpServer server(Reply::Silent);
    useSntp();
    EXPECT_FALSE(runQuery(true));
    expectFailedAndReleased();
}

TEST_F(TimeQuery, SntpToAClosedPortFails) {
    if (test::runningUnderWine()) GTEST_SKIP() << "Wine never fails the receive after a datagram to a closed port";
    useSntp();
    EXPECT_FALSE(runQuery());
    expectFailedAndReleased();
}

TEST_F(TimeQuery, DateRangeRefusesAndWidensWithAutoReset) {
    FakeTimeServer server(Reply::Correct, kJune2009);
    useTime();
    settings.dateRangeEnabled.store(1);
    settings.dateRangeAutoReset.store(1);
    const uint32_t h = platform::upperWord(wireSecondsToFileTime(kJune2009));
    settings.dateRangeLow.store(platform::makeFileTime(h + 1, 77));
    settings.dateRangeHigh.store(platform::makeFileTime(h + 100000, 0));
    EXPECT_FALSE(runQuery());
    EXPECT_EQ(queryFailed.load(), 1);
    EXPECT_EQ(settings.dateRangeLow.load(), platform::makeFileTime(h + 1 - 1500, 77));
    ASSERT_TRUE(runQuery());
}

TEST_F(TimeQuery, DateRangeBoundsThemselvesAreAccepted) {
    FakeTimeServer server(Reply::Correct, kJune2009);
    useTime();
    settings.dateRangeEnabled.store(1);
    settings.dateRangeAutoReset.store(0);
    const uint32_t h = platform::upperWord(wireSecondsToFileTime(kJune2009));
    settings.dateRangeLow.store(platform::makeFileTime(h, 0));
    settings.dateRangeHigh.store(platform::makeFileTime(h, 0));
    EXPECT_TRUE(runQuery());
    settings.dateRangeHigh.store(platform::makeFileTime(h - 1, 0));
    EXPECT_FALSE(runQuery());
    EXPECT_EQ(settings.dateRangeHigh.load(), platform::makeFileTime(h - 1, 0));
}

TEST_F(TimeQuery, QueryStartedWhileIdleDoesNothingAndAbortReturns) {
    syncState.store(kSyncIdle);
    queryStep.store(0);
    startTimeQuery();
    abortRunningQuery();
    EXPECT_EQ(queryThread.load(), 0u);
    EXPECT_EQ(queryStep.load(), 0u);
    EXPECT_EQ(queryFailed.load(), 0);
}

}  // namespace
}  // namespace tavrel
