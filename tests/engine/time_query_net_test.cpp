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
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/path_relay.h"
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

// The other direction: two replies stamped at once and then held 300 ms on
// their way back. Their bounds are as wide, the other way; the sample with
// the shortest round trip still decides, and the offset is true to well
// within its round trip.
TEST_F(TimeQueries, RepliesHeldOnTheWayBackDoNotMoveTheOffset) {
    FakeSntpServer server(Reply::HeldFirst, 3'600'000, 300);
    ASSERT_TRUE(server.listening());
    useSntp();
    const QueryResult result = runQuery();
    ASSERT_TRUE(result.accepted) << result.failure;
    EXPECT_NEAR(static_cast<double>(result.offsetUnits) / 1e7, 3600, 0.02);
    EXPECT_LT(result.responseMs, 150u);
    EXPECT_TRUE(result.refusedSamples.empty());
    EXPECT_GE(server.requests(), 3);
}

// One reply among several outside the date range: the query is refused on
// its account (the server is a liar, whatever its other replies said),
// says which bound it missed, and asks no more.
TEST_F(TimeQueries, OneReplyOutsideTheDateRangeRefusesTheQuery) {
    useSntp();
    settings.dateRangeEnabled.store(true);
    const uint32_t h = platform::upperWord(test::realNow());  // units of about 430 s
    settings.dateRangeLow.store(platform::makeFileTime(h - 1, 0));
    settings.dateRangeHigh.store(platform::makeFileTime(h + 1, 0));
    {
        FakeSntpServer server(Reply::OneFarOff, 100);  // the second reply 1000 s ahead
        const QueryResult result = runQuery();
        EXPECT_FALSE(result.accepted);
        EXPECT_TRUE(result.aboveDateRange);
        EXPECT_FALSE(result.belowDateRange);
        EXPECT_EQ(server.requests(), 2);
    }
    // The same server without its liar's reply is taken.
    FakeSntpServer honest(Reply::Correct, 100);
    EXPECT_TRUE(runQuery().accepted);
}

// A reply with either of its server times outside the date range ends the
// sampling (asking again would only ask the same liar again): one received
// just before the lower bound and sent just after it is the last asked for.
TEST_F(TimeQueries, AReplyReceivedBeforeTheDateRangeEndsTheSampling) {
    useSntp();
    settings.dateRangeEnabled.store(true);
    // The server's clock ahead so that its transmit time comes about 450 ms
    // after the first whole second of the next unit of the bounds (about
    // 430 s long; the wire's seconds are whole) and its receive time 900 ms
    // before that.
    const uint32_t h = platform::upperWord(test::realNow()) + 1;
    const platform::FileTime bound = platform::makeFileTime(h, 0);
    constexpr platform::FileTime kSecond = 10'000'000;
    const platform::FileTime firstSecond = (bound + kSecond - 1) / kSecond * kSecond;
    const int64_t aheadMs = static_cast<int64_t>(firstSecond - test::realNow()) / 10'000 + 450;
    settings.dateRangeLow.store(bound);
    settings.dateRangeHigh.store(platform::makeFileTime(h + 2, 0));
    {
        FakeSntpServer server(Reply::ReceiveEarly, aheadMs);
        runQuery();
        EXPECT_EQ(server.requests(), 1);
    }
    // With the bound a unit earlier the same server is asked for every sample.
    settings.dateRangeLow.store(platform::makeFileTime(h - 1, 0));
    FakeSntpServer server(Reply::ReceiveEarly, aheadMs);
    const QueryResult result = runQuery();
    EXPECT_TRUE(result.accepted) << result.failure;
    EXPECT_GE(server.requests(), 3);
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
// A path whose way back is 300 ms longer than its way out (through the
// path relay, on 127.0.0.2): no sample can tell, and each is the same. The
// offset is the middle of what the samples' bounds allow, half the round
// trip from either end, and never further from the truth than that.
TEST_F(TimeQueries, AnAsymmetricPathKeepsTheOffsetWithinHalfTheRoundTrip) {
    FakeSntpServer server(Reply::Correct, 3'600'000);
    test::PathShape shape;
    shape.inbound = std::chrono::milliseconds(300);
    test::PathRelay relay(test::RelayProtocol::Udp, 0x7F000002, 123, 0x7F000001, 123, shape);
    ASSERT_TRUE(relay.ok());
    useSntp();
    const QueryResult result = runQuery(target("127.0.0.2"));
    ASSERT_TRUE(result.accepted) << result.failure;
    EXPECT_GE(result.responseMs, 300u);
    const double roundTrip = result.responseMs / 1000.0;
    const double offset = static_cast<double>(result.offsetUnits) / 1e7;
    EXPECT_LE(std::abs(offset - 3600), roundTrip / 2 + 0.01) << "round trip " << roundTrip;
    EXPECT_NEAR(offset, 3600 - roundTrip / 2, 0.02) << "round trip " << roundTrip;
    EXPECT_TRUE(result.refusedSamples.empty());
}

// The kernel's count of connection requests a full listening queue dropped
// (in this process's network namespace).
uint64_t listenDrops() {
    std::ifstream in("/proc/net/netstat");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (!names.starts_with("TcpExt:")) continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value) {
            if (name == "ListenDrops") return std::stoull(value);
        }
    }
    return 0;
}

// A TIME server on 127.0.0.1 whose connections take as long as a slow
// path's round trip: its listening queue is full (one connection of its
// own waits there) when the client's connection request comes, so the
// kernel drops the request, and only the client's retransmission of it, a
// second or so later, gets through. The path relay cannot do this: the
// kernel completes a connection's handshake on the relay's side at once.
// The server then sends its time at once.
class SlowHandshakeTimeServer {
public:
    SlowHandshakeTimeServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(0x7F000001);
        at.sin_port = htons(37);
        ok_ = ::bind(listener_, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 && ::listen(listener_, 0) == 0;
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ok_ = ok_ && ::connect(filler_, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0;
        drops_ = listenDrops();
        if (ok_) thread_ = std::thread([this] { serve(); });
    }
    ~SlowHandshakeTimeServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        ::close(filler_);
        ::close(listener_);
    }
    bool ok() const { return ok_; }
    // From the dropped request to the connection taken, and the time read
    // for the reply (the real clock).
    platform::FileTime handshake() const { return accepted_ - dropped_; }
    platform::FileTime stamp() const { return stamp_; }
    bool served() const { return served_.load(); }

private:
    void serve() {
        // The client's first request is dropped; then the queue is emptied.
        while (!stop_ && listenDrops() == drops_) ::usleep(500);
        dropped_ = test::realNow();
        pollfd p{listener_, POLLIN, 0};
        for (int taken = 0; taken < 2 && !stop_;) {
            if (::poll(&p, 1, 20) <= 0) continue;
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            if (++taken == 1) {
                ::close(client);  // the connection that filled the queue
                continue;
            }
            accepted_ = stamp_ = test::realNow();
            uint8_t reply[4];
            writeWord(reply, static_cast<uint32_t>((stamp_ - platform::kFileTime1900) / platform::kFileTimeUnitsPerSecond));
            (void)::send(client, reply, sizeof reply, MSG_NOSIGNAL);
            ::close(client);
            served_.store(true);
        }
    }
    int listener_ = -1, filler_ = -1;
    bool ok_ = false;
    uint64_t drops_ = 0;
    platform::FileTime dropped_ = 0, accepted_ = 0, stamp_ = 0;
    std::atomic<bool> stop_{false}, served_{false};
    std::thread thread_;
};

// TIME gives whole seconds, read when the connection stood: by the time its
// four bytes arrive, half a round trip later, the server's clock is that
// much further on. Over a connection that took a second, the reading is
// corrected by half of it, to within a few ms.
TEST_F(TimeQueries, TheTimeReadingIsCorrectedByHalfTheConnectionsRoundTrip) {
    SlowHandshakeTimeServer server;
    ASSERT_TRUE(server.ok());
    useTime();
    const QueryResult result = runQuery();
    ASSERT_TRUE(result.accepted) << result.failure;
    ASSERT_TRUE(server.served());
    const double handshake = static_cast<double>(server.handshake()) / 1e7;
    ASSERT_GT(handshake, 0.2) << "the connection was not held up";
    // What the reply's whole second leaves out, from the middle of that second.
    const platform::FileTime second = wireSecondsToFileTime(result.serverSeconds);
    const double inSecond = static_cast<double>(static_cast<int64_t>(server.stamp() - second)) / 1e7 - 0.5;
    // The clock is the server's: the true offset is 0.
    const double offset = static_cast<double>(result.offsetUnits) / 1e7;
    EXPECT_NEAR(offset + inSecond, handshake / 2, 0.03) << "the connection took " << handshake << " s";
}

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
