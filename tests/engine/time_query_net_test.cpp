#include <gtest/gtest.h>

#include <cmath>

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
    EXPECT_NE(readWord(request, 24), 0u);
    EXPECT_EQ(readWord(request, 40), 0u);
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

// T1 goes out to the clock's full precision: an originate cut to the
// millisecond (a fraction that is a whole number of ms x 4294967) would put
// up to half a millisecond into every offset. Five readings all on the
// millisecond grid by chance would be a one in 10^20 event.
TEST_F(TimeQueries, TheOriginateCarriesTheClocksFullPrecision) {
    FakeSntpServer server(Reply::Correct);
    useSntp();
    int offGrid = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(runQuery().accepted);
        const std::vector<uint8_t> request = server.lastRequest();
        ASSERT_EQ(request.size(), 48u);
        if (readWord(request, 28) % 4'294'967u != 0) ++offGrid;
    }
    EXPECT_GT(offGrid, 0);
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
