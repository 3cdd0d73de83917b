// The NTS client against a server of the tests' own that records what it is
// sent: each cookie goes out once, the client re-keys when it runs out, an
// NTS NAK makes it drop its cookies and run a new NTS-KE, and an nts://
// entry of the server list walked by the engine corrects the clock.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "engine/supervisor.h"
#include "nts/nts_client.h"
#include "platform/nts_crypto.h"
#include "storage/history.h"
#include "storage/settings.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/environment.h"
#include "tests/support/fake_nts_server.h"

namespace tavrel {
namespace {

using Answer = test::FakeNtsServer::Answer;

constexpr double kUnitsPerSecond = 1e7;

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

}  // namespace
}  // namespace tavrel
#endif
