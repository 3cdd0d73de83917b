#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/time_query.h"
#include "protocol/time_protocol.h"
#include "storage/settings.h"
#include "tests/support/environment.h"
#include "tests/support/fake_time_servers.h"
#include "tests/support/query_fixture.h"
#ifndef _WIN32
#include "tests/support/private_network.h"
#endif
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

using test::FakeSntpServer;
using test::FakeTimeServer;
using test::Reply;

constexpr uint32_t kJune2009 = 3'452'846'400u;

class TimeQueries : public test::QueryTest {
protected:
    void SetUp() override {
        QueryTest::SetUp();
        settings.dateRangeEnabled.store(false);
    }
    void useTime() { settings.protocol.store(Protocol::Time); }
    void useSntp() { settings.protocol.store(Protocol::Sntp); }
};

// Runs a query and keeps the object, to look at its progress afterwards.
QueryStep stepReachedBy(const QueryTarget& target) {
    TimeQuery query(target, nullptr);
    EXPECT_TRUE(test::waitUntil([&] { return query.finished(); }));
    EXPECT_FALSE(query.result().accepted);
    return query.step();
}

TEST_F(TimeQueries, TimeReplyIsAccepted) {
    FakeTimeServer server(Reply::Correct, kJune2009);
    ASSERT_TRUE(server.listening());
    useTime();
    TimeQuery query(target(), nullptr);
    ASSERT_TRUE(test::waitUntil([&] { return query.finished(); }));
    EXPECT_TRUE(query.result().accepted);
    EXPECT_EQ(query.step(), QueryStep::Accepted);
    EXPECT_EQ(query.result().serverSeconds, kJune2009);
    EXPECT_EQ(query.addressText(), "127.0.0.1");
    EXPECT_FALSE(query.result().offsetMeasured);
}

TEST_F(TimeQueries, TimeReplyInTwoPiecesIsAccepted) {
    FakeTimeServer server(Reply::InPieces, kJune2009);
    useTime();
    const QueryResult result = runQuery();
    EXPECT_TRUE(result.accepted);
    EXPECT_EQ(result.serverSeconds, kJune2009);
}

TEST_F(TimeQueries, TimeRepliesThatFail) {
    useTime();
    {
        FakeTimeServer server(Reply::ShortThenClose, kJune2009);
        EXPECT_FALSE(runQuery().accepted);
    }
    {
        FakeTimeServer server(Reply::CloseAtOnce, kJune2009);
        EXPECT_EQ(stepReachedBy(target()), QueryStep::WaitingForReply);
    }
    // Nobody listening: the connection is refused.
    EXPECT_EQ(stepReachedBy(target()), QueryStep::Connecting);
    // A name that resolves to nothing.
    EXPECT_EQ(stepReachedBy(target("no-such-host.invalid")), QueryStep::CreatingSocket);
}

TEST_F(TimeQueries, ManualAddressIsNeverLookedUpAsAName) {
    FakeTimeServer server(Reply::Correct, kJune2009);
    useTime();
    QueryTarget manual = target("localhost");
    manual.manual = true;
    EXPECT_EQ(stepReachedBy(manual), QueryStep::CreatingSocket);
    EXPECT_TRUE(runQuery(target("localhost")).accepted);
}

// A query waiting on a silent server (with no time-out of its own) ends
// within a moment of its abort, not whenever the server might answer.
TEST_F(TimeQueries, SilentServersAreAbortedAtOnce) {
    for (const bool time : {true, false}) {
        FakeTimeServer timeServer(Reply::Silent, kJune2009);
        FakeSntpServer sntpServer(Reply::Silent);
        settings.protocol.store(time ? Protocol::Time : Protocol::Sntp);
        TimeQuery query(target(), nullptr);
        ASSERT_TRUE(test::waitUntil([&] { return query.step() >= QueryStep::WaitingForReply; }));
        const auto aborted = std::chrono::steady_clock::now();
        query.abort();
        EXPECT_TRUE(test::waitUntil([&] { return query.finished(); }, std::chrono::seconds(2)))
            << (time ? "TIME" : "SNTP");
        EXPECT_LT(std::chrono::steady_clock::now() - aborted, std::chrono::seconds(2));
        EXPECT_FALSE(query.result().accepted);
    }
}

TEST_F(TimeQueries, SntpReplyGivesTheExactOffset) {
    FakeSntpServer server(Reply::Correct, 3'600'000);
    ASSERT_TRUE(server.listening());
    useSntp();
    const QueryResult result = runQuery();
    ASSERT_TRUE(result.accepted);
    ASSERT_TRUE(result.offsetMeasured);
    EXPECT_NEAR(static_cast<double>(result.offsetUnits) / 1e7, 3600, 0.02);
    const std::vector<uint8_t> request = server.lastRequest();
    ASSERT_EQ(request.size(), 48u);
    EXPECT_EQ(request[0], 0x1B);
    // The originate is zero; the transmit timestamp is the request's own.
    EXPECT_EQ(readWord(request, 24) | readWord(request, 28), 0u);
    EXPECT_NE(readWord(request, 40) | readWord(request, 44), 0u);
}

// Several samples, the one with the shortest round trip used: two replies
// held on their way (here by the server, after it read its clock) would
// put half their wait into the offset. Never more than four requests.
TEST_F(TimeQueries, TheSntpSampleWithTheShortestRoundTripIsUsed) {
    FakeSntpServer server(Reply::LateFirst, 3'600'000, 300);
    ASSERT_TRUE(server.listening());
    useSntp();
    const QueryResult result = runQuery();
    ASSERT_TRUE(result.accepted);
    EXPECT_NEAR(static_cast<double>(result.offsetUnits) / 1e7, 3600, 0.02);
    EXPECT_LT(result.responseMs, 150u);
    EXPECT_GE(server.requests(), 3);
    EXPECT_LE(server.requests(), 4);
}

TEST_F(TimeQueries, SntpRepliesThatFail) {
    useSntp();
    // No transmit timestamp; a server whose clock is not synchronised; a
    // kiss-o'-death: the reply came, and is not believed.
    for (const Reply reply : {Reply::ZeroTransmit, Reply::Unsynchronised, Reply::KissOfDeath}) {
        FakeSntpServer server(reply);
        EXPECT_EQ(stepReachedBy(target()), QueryStep::Converting);
    }
    if (!test::runningUnderWine()) {
        // Wine never fails the receive after a datagram to a closed port.
        EXPECT_FALSE(runQuery().accepted);
    }
}

TEST_F(TimeQueries, DateRangeRefusesAndSaysWhichBound) {
    FakeTimeServer server(Reply::Correct, kJune2009);
    useTime();
    settings.dateRangeEnabled.store(true);
    settings.dateRangeAutoReset.store(true);
    const uint32_t h = platform::upperWord(wireSecondsToFileTime(kJune2009));
    settings.dateRangeLow.store(platform::makeFileTime(h + 1, 77));
    settings.dateRangeHigh.store(platform::makeFileTime(h + 100000, 0));
    const QueryResult refused = runQuery();
    EXPECT_FALSE(refused.accepted);
    EXPECT_TRUE(refused.belowDateRange);
    widenDateRange(refused);
    EXPECT_EQ(settings.dateRangeLow.load(), platform::makeFileTime(h + 1 - 1500, 77));
    EXPECT_TRUE(runQuery().accepted);
    // The bounds themselves are accepted.
    settings.dateRangeLow.store(platform::makeFileTime(h, 0));
    settings.dateRangeHigh.store(platform::makeFileTime(h, 0));
    EXPECT_TRUE(runQuery().accepted);
}

// The transmit timestamp is random, never the clock: a forger who cannot
// see the request cannot know what the reply must echo. Five requests, no
// two alike, none within a day of the clock's time.
TEST_F(TimeQueries, EveryRequestCarriesATransmitTimestampNobodyCanGuess) {
    FakeSntpServer server(Reply::Correct);
    useSntp();
    std::vector<std::vector<uint8_t>> seen;
    const uint32_t nowSeconds = readWord(wireTimestampOf(test::realNow()), 0);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(runQuery().accepted);
        const std::vector<uint8_t> request = server.lastRequest();
        ASSERT_EQ(request.size(), 48u);
        const std::vector<uint8_t> transmit(request.begin() + 40, request.end());
        EXPECT_EQ(std::count(seen.begin(), seen.end(), transmit), 0);
        const uint32_t seconds = readWord(request, 40);
        EXPECT_GT(seconds > nowSeconds ? seconds - nowSeconds : nowSeconds - seconds, 86'400u);
        seen.push_back(transmit);
    }
}

// Forgeries 1800 s off reach the client's very port before each true reply:
// other originates, other modes and versions, an earlier reply replayed
// ten minutes older, a DENY that answers nothing. None is taken, and the
// true reply after them is, in every one of 20 queries.
TEST_F(TimeQueries, ForgedAndReplayedRepliesAreNeverTaken) {
    FakeSntpServer server(Reply::Forged, 250);
    ASSERT_TRUE(server.listening());
    useSntp();
    for (int run = 0; run < 20; ++run) {
        const QueryResult result = runQuery();
        ASSERT_TRUE(result.accepted) << run << ": " << result.failure;
        EXPECT_TRUE(result.kiss.empty());
        EXPECT_NEAR(static_cast<double>(result.offsetUnits) / 1e7, 0.25, 0.02) << run;
    }
}

// With nothing but forgeries the query fails, and says why.
TEST_F(TimeQueries, OnlyForgeriesFailTheQueryWithTheirReason) {
    FakeSntpServer server(Reply::ForgedOnly);
    useSntp();
    QueryTarget t = target();
    t.timeoutMs = 3000;
    TimeQuery query(t, nullptr);
    // The operation gives a query up at its time-out; this test does it.
    ASSERT_TRUE(test::waitUntil([&] { return server.requests() >= 4; }, std::chrono::seconds(20)));
    query.abort();
    ASSERT_TRUE(test::waitUntil([&] { return query.finished(); }));
    EXPECT_FALSE(query.result().accepted);
    EXPECT_EQ(query.result().failure, "reply did not answer our request");
}

// One sample 1000 s off among four is refused and named; the clock is
// measured from the three that agree. Samples that all disagree give no
// measurement at all.
TEST_F(TimeQueries, ASampleThatContradictsTheOthersIsRefused) {
    useSntp();
    {
        FakeSntpServer server(Reply::OneFarOff, 100);
        const QueryResult result = runQuery();
        ASSERT_TRUE(result.accepted) << result.failure;
        EXPECT_EQ(server.requests(), 4);
        EXPECT_NEAR(static_cast<double>(result.offsetUnits) / 1e7, 0.1, 0.01);
        ASSERT_EQ(result.refusedSamples.size(), 1u);
        EXPECT_NEAR(static_cast<double>(result.refusedSamples[0]) / 1e7, 1000, 0.05);
    }
    {
        FakeSntpServer server(Reply::EachFarOff);
        const QueryResult result = runQuery();
        EXPECT_FALSE(result.accepted);
        EXPECT_EQ(result.failure, "samples disagree with each other");
    }
}

// A server whose source is this computer serves our own time back.
TEST_F(TimeQueries, AServerWhoseSourceIsThisComputerIsRefused) {
    FakeSntpServer server(Reply::OwnReference);
    useSntp();
    const QueryResult result = runQuery();
    EXPECT_FALSE(result.accepted);
    EXPECT_EQ(result.failure, "the server's source is this computer");
}

// A TIME server sends four bytes and closes. More is refused; so are bytes
// that trickle in for longer than half the time-out.
TEST_F(TimeQueries, TimeRepliesOfMoreThanFourBytesOrTooSlowAreRefused) {
    useTime();
    {
        FakeTimeServer server(Reply::TooLong, kJune2009);
        const QueryResult result = runQuery();
        EXPECT_FALSE(result.accepted);
        EXPECT_EQ(result.failure, "the TIME reply was longer than 4 bytes");
    }
    {
        FakeTimeServer server(Reply::Trickle, kJune2009, 1500);
        QueryTarget t = target();
        t.timeoutMs = 5000;
        const QueryResult result = runQuery(t);
        EXPECT_FALSE(result.accepted);
        EXPECT_EQ(result.failure, "the TIME reply came too slowly");
    }
}

#ifndef _WIN32
// Every address of a name, in the resolver's order, IPv6 included: a
// silent first address leaves the rest of the time-out to the next one; a
// name with only an IPv6 address, and IPv6 literals, are asked over IPv6.
// The names come from a hosts file placed over /etc/hosts for this process.
TEST_F(TimeQueries, EveryAddressOfANameIsTriedIPv6Included) {
    if (!test::ipv6LoopbackAvailable()) GTEST_SKIP() << "this machine has no IPv6 loopback";
    test::writeFile(dir.file("hosts"), "127.0.0.1 two.test\n127.0.0.2 two.test\n::1 six.test\n");
    ASSERT_TRUE(test::placeFileOver(dir.file("hosts"), "/etc/hosts"));
    // The machine's own hosts file comes back for the tests after this one,
    // whatever this one finds.
    struct Restore {
        ~Restore() { test::removeFileOver("/etc/hosts"); }
    } restore;
    auto ask = [](const std::string& server) {
        QueryTarget t = target(server);
        t.timeoutMs = 4000;
        TimeQuery query(t, nullptr);
        EXPECT_TRUE(test::waitUntil([&] { return query.finished(); }));
        return std::make_pair(query.result().accepted, query.addressText());
    };
    useSntp();
    {
        FakeSntpServer silent(Reply::Silent);
        FakeSntpServer live(Reply::Correct, 0, 0, test::listenAt(0x7F000002));
        EXPECT_EQ(ask("two.test"), std::make_pair(true, std::string("127.0.0.2")));
    }
    {
        FakeSntpServer six(Reply::Correct, 0, 0, test::Listen{0, nullptr, "", true});
        ASSERT_TRUE(six.listening());
        EXPECT_EQ(ask("six.test"), std::make_pair(true, std::string("::1")));
        EXPECT_EQ(ask("[::1]"), std::make_pair(true, std::string("::1")));
    }
    useTime();
    {
        FakeTimeServer six(Reply::Correct, kJune2009, 0, test::Listen{0, nullptr, "", true});
        EXPECT_EQ(ask("::1"), std::make_pair(true, std::string("::1")));
    }
}
#endif

}  // namespace
}  // namespace tavrel
