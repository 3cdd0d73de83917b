// The NTS client against a server of the tests' own that records what it is
// sent: each cookie goes out once, the client re-keys when it runs out, an
// NTS NAK makes it drop its cookies and run a new NTS-KE, and an nts://
// entry of the server list walked by the engine corrects the clock. A clock
// years behind its certificates' period is mended through the server's own
// authenticated time while it is not known good, and only then.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "engine/supervisor.h"
#include "nts/nts_client.h"
#include "platform/clock_file.h"
#include "platform/nts_crypto.h"
#include "platform/thread.h"
#include "storage/history.h"
#include "storage/settings.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/environment.h"
#include "tests/support/fake_nts_server.h"

namespace tavrel {
namespace {

using Answer = test::FakeNtsServer::Answer;

constexpr double kUnitsPerSecond = 1e7;
// Three calendar years of 365.25 days.
constexpr double kThreeYearsSeconds = 3 * 365.25 * 86'400;

class NtsAgainstFake : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::ntsCryptoAvailable()) GTEST_SKIP() << platform::kNtsUnavailable;
        ASSERT_TRUE(fake.ok());
    }
    NtsServer server() const {
        NtsServer s;
        s.host = "localhost";
        s.port = fake.kePort();
        s.extraCaFile = fake.caFile();
        s.timeoutMs = 5000;
        return s;
    }
    // Every cookie the server received, each from one of its own key
    // exchanges, authentic, and none twice.
    void expectEachCookieOnce() {
        std::set<std::vector<uint8_t>> seen;
        for (const test::FakeNtsServer::Request& r : fake.requests()) {
            EXPECT_GE(r.keyExchange, 0) << "a cookie the server never gave";
            EXPECT_TRUE(r.authentic);
            EXPECT_TRUE(seen.insert(r.cookie).second) << "a cookie sent twice";
        }
    }

    test::FakeNtsServer fake;
};

TEST_F(NtsAgainstFake, EachCookieGoesOnceAndRunningOutBringsANewKeyExchange) {
    NtsClient client(server());
    // More queries than one exchange's cookies: the replies' cookies carry on.
    for (int i = 0; i < 12; ++i) {
        const NtsExchange reply = client.query();
        ASSERT_TRUE(reply.ok) << i << ": " << reply.failure;
        EXPECT_LT(std::fabs(static_cast<double>(reply.offsetUnits) / kUnitsPerSecond), 1.0);
        EXPECT_EQ(client.cookieCount(), kNtsMaxCookies);
    }
    EXPECT_EQ(fake.keyExchanges(), 1u);
    EXPECT_EQ(client.keyExchangeCount(), 1u);
    ASSERT_EQ(fake.requests().size(), 12u);
    for (const auto& r : fake.requests()) EXPECT_EQ(r.placeholders, 0u);  // eight in hand, one spent, one back

    // Replies that bring no cookie back: the client asks with placeholders
    // for what it is short of, spends what it has, then runs NTS-KE again.
    fake.setAnswer(Answer::TimeWithoutCookies);
    for (size_t i = 0; i < kNtsMaxCookies + 2; ++i) {
        const NtsExchange reply = client.query();
        ASSERT_TRUE(reply.ok) << i << ": " << reply.failure;
    }
    EXPECT_EQ(fake.keyExchanges(), 2u);
    const std::vector<test::FakeNtsServer::Request> requests = fake.requests();
    ASSERT_EQ(requests.size(), 12u + kNtsMaxCookies + 2);
    for (size_t i = 0; i < kNtsMaxCookies; ++i) {
        EXPECT_EQ(requests[12 + i].keyExchange, 0);
        EXPECT_EQ(requests[12 + i].placeholders, i) << i;
    }
    EXPECT_EQ(requests[12 + kNtsMaxCookies].keyExchange, 1);
    EXPECT_EQ(requests[12 + kNtsMaxCookies].placeholders, 0u);
    expectEachCookieOnce();
}

TEST_F(NtsAgainstFake, ANakDropsTheCookiesAndANewKeyExchangeAnswers) {
    NtsClient client(server());
    ASSERT_TRUE(client.query().ok);
    fake.setAnswer(Answer::NakOnce);
    const NtsExchange afterNak = client.query();
    ASSERT_TRUE(afterNak.ok) << afterNak.failure;
    EXPECT_EQ(fake.keyExchanges(), 2u);
    std::vector<test::FakeNtsServer::Request> requests = fake.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_TRUE(requests[1].naked);
    EXPECT_EQ(requests[1].keyExchange, 0);
    // The retry's cookie is the new exchange's, not one of the old ones left.
    EXPECT_EQ(requests[2].keyExchange, 1);
    EXPECT_EQ(client.cookieCount(), kNtsMaxCookies);

    // A server that only NAKs: one new key exchange, then the NAK is the
    // answer; the cookies of the refused exchanges are never sent again.
    fake.setAnswer(Answer::Nak);
    const NtsExchange refused = client.query();
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.kiss, "NTSN");
    EXPECT_EQ(fake.keyExchanges(), 3u);
    requests = fake.requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[4].keyExchange, 2);
    EXPECT_EQ(client.cookieCount(), 0u);
    fake.setAnswer(Answer::Time);
    ASSERT_TRUE(client.query().ok);
    EXPECT_EQ(fake.keyExchanges(), 4u);
    expectEachCookieOnce();
}

// A keeper that writes the keys to a slow disk: its wait comes before T1,
// not between T1 and the request's departure, where it would count as the
// way to the server and move the offset by half of it. And it never holds
// a cookie once that cookie has gone out.
TEST_F(NtsAgainstFake, KeepingTheKeysIsNoPartOfTheRoundTrip) {
    constexpr uint32_t kSlowWriteMs = 400;
    NtsClient client(server());
    std::vector<NtsKeys> told;
    client.setKeeper([&told](const NtsKeys& keys) {
        told.push_back(keys);
        platform::sleepMs(kSlowWriteMs);
    });
    for (int i = 0; i < 3; ++i) {
        const size_t before = told.size();
        const NtsExchange reply = client.query();
        ASSERT_TRUE(reply.ok) << i << ": " << reply.failure;
        ASSERT_GT(told.size(), before);
        const double roundTrip = static_cast<double>(reply.t4 - reply.t1) / kUnitsPerSecond;
        EXPECT_LT(roundTrip, kSlowWriteMs / 2000.0) << i;
        EXPECT_LT(std::fabs(static_cast<double>(reply.offsetUnits) / kUnitsPerSecond), kSlowWriteMs / 4000.0) << i;
        const std::vector<uint8_t> sent = fake.requests().back().cookie;
        const std::vector<std::vector<uint8_t>>& kept = told.back().cookies;
        EXPECT_EQ(std::count(kept.begin(), kept.end(), sent), 0) << i;
    }
    expectEachCookieOnce();
}

// The simulated clock three years behind the real time, which the fake's
// certificates are made around; put back to the real time at the end.
class NtsColdClock : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::ntsCryptoAvailable()) GTEST_SKIP() << platform::kNtsUnavailable;
        test::setSimulatedOffsetSeconds(-kThreeYearsSeconds);
    }
    void TearDown() override { test::setSimulatedOffsetSeconds(0); }
    static NtsServer serverOf(const test::FakeNtsServer& fake) {
        NtsServer s;
        s.host = "localhost";
        s.port = fake.kePort();
        s.extraCaFile = fake.caFile();
        s.timeoutMs = 5000;
        return s;
    }
};

TEST_F(NtsColdClock, ACertificateInItsPeriodByTheServersTimeIsTakenOnlyWhileTheClockIsNotKnownGood) {
    test::FakeNtsServer fake;
    ASSERT_TRUE(fake.ok());
    NtsClient client(serverOf(fake));
    // Keys the server's time vouched for are never handed to the keeper,
    // which would carry them past this run unjudged.
    size_t keptCookies = 0;
    client.setKeeper([&keptCookies](const NtsKeys& keys) { keptCookies += keys.cookies.size(); });
    // Known good, the clock's own reading is the judge.
    std::string failure;
    EXPECT_FALSE(client.keyExchange(failure, true));
    EXPECT_EQ(failure, "certificate not yet valid");
    EXPECT_EQ(client.cookieCount(), 0u);
    const NtsExchange refused = client.query(true);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.failure, "certificate not yet valid");
    EXPECT_TRUE(fake.requests().empty()) << "no time asked under a refused certificate";

    // Not known good: the server's authenticated time settles it.
    const NtsExchange reply = client.query(false);
    ASSERT_TRUE(reply.ok) << reply.failure;
    EXPECT_TRUE(reply.certificateCheckedByServer);
    EXPECT_NEAR(static_cast<double>(reply.offsetUnits) / kUnitsPerSecond, kThreeYearsSeconds, 1.0);
    // Once settled, the keys stand, still on the server's word.
    const NtsExchange next = client.query(false);
    ASSERT_TRUE(next.ok) << next.failure;
    EXPECT_TRUE(next.certificateCheckedByServer);
    EXPECT_EQ(client.keyExchangeCount(), 1u);
    EXPECT_EQ(keptCookies, 0u) << "keys on the server's word kept";
    // A clock known good judges them again: still years behind, it drops
    // them, and the new key exchange is refused.
    const NtsExchange judged = client.query(true);
    EXPECT_FALSE(judged.ok);
    EXPECT_EQ(judged.failure, "certificate not yet valid");
    EXPECT_EQ(client.cookieCount(), 0u);
    EXPECT_EQ(fake.requests().size(), 2u) << "a cookie of the dropped keys sent";

    // Mended, the clock keeps keys it finds in their period, and the
    // replies under them are its own to judge.
    ASSERT_TRUE(client.query(false).ok);
    test::setSimulatedOffsetSeconds(0);
    const NtsExchange mended = client.query(true);
    ASSERT_TRUE(mended.ok) << mended.failure;
    EXPECT_FALSE(mended.certificateCheckedByServer);
    EXPECT_EQ(client.keyExchangeCount(), 2u);
    // Judged by a clock known good, they are kept as any others.
    EXPECT_GT(keptCookies, 0u);
}

TEST_F(NtsColdClock, ACertificateExpiredByTheServersTimeTooIsRefusedAndItsKeysDropped) {
    // Valid from three days to two days before the real time: not yet valid
    // by the clock three years behind, expired by the server's.
    test::FakeNtsServer fake(-3 * 86'400, -2 * 86'400);
    ASSERT_TRUE(fake.ok());
    NtsClient client(serverOf(fake));
    const NtsExchange first = client.query(false);
    EXPECT_FALSE(first.ok);
    EXPECT_EQ(first.failure, "certificate expired");
    EXPECT_FALSE(first.certificateCheckedByServer);
    EXPECT_EQ(client.cookieCount(), 0u) << "cookies of a refused key exchange kept";
    // Asked again, it starts over with a key exchange of its own: nothing
    // of the refused one is sent.
    const NtsExchange second = client.query(false);
    EXPECT_FALSE(second.ok);
    EXPECT_EQ(second.failure, "certificate expired");
    EXPECT_EQ(fake.keyExchanges(), 2u);
    const std::vector<test::FakeNtsServer::Request> requests = fake.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].keyExchange, 0);
    EXPECT_EQ(requests[1].keyExchange, 1);
    EXPECT_EQ(client.cookieCount(), 0u);
}

// The engine walks the server list: a dead plain entry first, then the
// nts:// entry, which the fake answers, and the simulated clock is corrected.
class NtsEntryWalk : public test::EngineTest {};

TEST_F(NtsEntryWalk, AnNtsEntryInTheListCorrectsTheClock) {
    if (!platform::ntsCryptoAvailable()) GTEST_SKIP() << platform::kNtsUnavailable;
    test::FakeNtsServer fake;
    ASSERT_TRUE(fake.ok());
    const test::ScopedEnv authorities(platform::kNtsCaFileVariable, fake.caFile());
    const std::string entry = "nts://localhost:" + std::to_string(fake.kePort());
    listServers({"127.0.0.9", entry});
    settings.protocol.store(Protocol::Sntp);
    settings.syncTimeout.store(std::chrono::seconds(1));
    test::setSimulatedOffsetSeconds(1.25);
    ASSERT_TRUE(engine->requestOperation(OperationKind::Correct));
    ASSERT_TRUE(runToEnd());
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.05) << log();
    EXPECT_NE(log().find("Server used was " + entry), std::string::npos) << log();
    // The History has the dead entry's row too; rows sort by the time they
    // were written, and the correction moved the clock back past it.
    const std::vector<HistoryEntry> rows = readHistory();
    const auto used = std::find_if(rows.begin(), rows.end(), [](const HistoryEntry& r) { return r.outcome == "Corrected"; });
    ASSERT_NE(used, rows.end()) << log();
    EXPECT_EQ(used->protocol, "NTS");
    EXPECT_EQ(used->server, entry);
    // One key exchange; every sample of the exchange authenticated, each
    // with a cookie of its own.
    EXPECT_EQ(fake.keyExchanges(), 1u);
    const std::vector<test::FakeNtsServer::Request> requests = fake.requests();
    ASSERT_FALSE(requests.empty());
    std::set<std::vector<uint8_t>> seen;
    for (const test::FakeNtsServer::Request& r : requests) {
        EXPECT_TRUE(r.authentic);
        EXPECT_EQ(r.keyExchange, 0);
        EXPECT_TRUE(seen.insert(r.cookie).second) << "a cookie sent twice";
    }
}

// A clock three years behind, only the nts:// entry, the fake's certificate
// made around the real time: a Correct mends the clock through the server's
// authenticated time and says so once; with the system calling the clock
// kept, the same certificate is refused and the clock left alone; a Check
// shows what it found but does not make the clock count as synchronised.
TEST_F(NtsEntryWalk, AClockYearsBehindIsMendedOnlyWhileNotKnownGood) {
    if (!platform::ntsCryptoAvailable()) GTEST_SKIP() << platform::kNtsUnavailable;
    test::FakeNtsServer fake;
    ASSERT_TRUE(fake.ok());
    const test::ScopedEnv authorities(platform::kNtsCaFileVariable, fake.caFile());
    const std::string entry = "nts://localhost:" + std::to_string(fake.kePort());
    listServers({entry});
    settings.protocol.store(Protocol::Sntp);
    settings.syncTimeout.store(std::chrono::seconds(5));
    const std::string checked = "certificate checked against the server's time: the clock was 3 years behind";
    auto count = [](const std::string& text, const std::string& part) {
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    };

    // The system says it keeps the clock: the certificate is judged by it.
    ASSERT_TRUE(platform::markClockSynchronised(1000, 500));
    test::setSimulatedOffsetSeconds(-kThreeYearsSeconds);
    // The date range as a first start on that clock makes it, three years
    // short of the server's date.
    resetDateRange();
    ASSERT_TRUE(engine->requestOperation(OperationKind::Correct));
    // The refusal ends the round; the next one would only say it again.
    ASSERT_TRUE(runPassesUntil([this] { return log().find("(certificate not yet valid)") != std::string::npos; }))
        << log() << status();
    engine->requestAbort();
    ASSERT_TRUE(runToEnd()) << log() << status();
    EXPECT_NEAR(test::simulatedOffsetSeconds(), -kThreeYearsSeconds, 1.0) << log();
    EXPECT_EQ(count(log(), checked), 0u) << log();
    EXPECT_EQ(fake.requests().size(), 0u);

    // Not known good: a Check finds the three years but leaves the clock
    // counting as unsynchronised for the own servers.
    ASSERT_TRUE(platform::clock_file::setSimulatedSyncState(std::getenv("TAVREL_CLOCK_FILE"), platform::ClockSyncState{}));
    ASSERT_TRUE(engine->requestOperation(OperationKind::Check));
    ASSERT_TRUE(runToEnd()) << log() << status();
    EXPECT_NEAR(test::simulatedOffsetSeconds(), -kThreeYearsSeconds, 1.0) << log();
    EXPECT_EQ(count(log(), checked), 1u) << log();
    EXPECT_EQ(engine->clockStanding().lastSync, 0u);
    EXPECT_FALSE(engine->clockKnownGood());

    // And a Correct sets it, within what a loopback exchange allows.
    ASSERT_TRUE(engine->requestOperation(OperationKind::Correct));
    ASSERT_TRUE(runToEnd()) << log() << status();
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.05) << log();
    EXPECT_EQ(count(log(), checked), 2u) << log();
    EXPECT_NE(log().find("Server used was " + entry), std::string::npos) << log();
    EXPECT_TRUE(engine->clockKnownGood());
}

}  // namespace
}  // namespace tavrel
#endif
