// NTS against Debian's chronyd serving it on loopback in the private network
// namespace nts_chrony.sh made, with a certificate for "localhost" from the
// authority it named in TAVREL_NTS_CA_FILE. chronyd serves the machine's
// real clock and never touches it (-x); nothing here sets a clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/supervisor.h"
#include "nts/nts_client.h"
#include "storage/history.h"
#include "storage/settings.h"
#include "tests/support/engine_fixture.h"
#ifndef _WIN32
#include "tests/support/path_relay.h"
#endif
#include "platform/socket.h"
#include "platform/time.h"

namespace tavrel {
namespace {

constexpr int64_t kUnitsPerMs = 10'000;
constexpr int kGenerousMs = 10'000;

uint16_t portFrom(const char* variable, uint16_t otherwise) {
    const char* port = std::getenv(variable);
    return port ? static_cast<uint16_t>(std::atoi(port)) : otherwise;
}
uint16_t ntsKePort() { return portFrom("TAVREL_TEST_NTS_PORT", kNtsKePort); }

NtsServer chrony(const std::string& host = "localhost") {
    NtsServer server;
    server.host = host;
    server.port = ntsKePort();
    server.timeoutMs = kGenerousMs;
    return server;
}

// A UDP socket of the test's own to chronyd's NTP port, so the test sees
// the datagrams the client would.
class Datagrams {
public:
    explicit Datagrams(uint16_t port) {
        socket_ = platform::Socket::create(platform::SocketKind::Udp);
        platform::NetAddress address = platform::NetAddress::v4(platform::kLoopback, port);
        EXPECT_TRUE(socket_ && socket_->connect(address));
        socket_->setWaitLimit(kGenerousMs);
    }
    void send(const std::vector<uint8_t>& packet) {
        EXPECT_EQ(socket_->send(packet.data(), packet.size()), static_cast<long>(packet.size()));
    }
    std::vector<uint8_t> receive() {
        std::vector<uint8_t> reply(kNtsMaxPacket);
        const long n = socket_->receive(reply.data(), reply.size());
        EXPECT_GT(n, 0);
        reply.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return reply;
    }

private:
    std::shared_ptr<platform::Socket> socket_;
};

TEST(NtsChrony, KeyExchangeThenAnAuthenticatedExchangeMeasuresTheRealClock) {
    NtsClient client(chrony());
    std::string failure;
    ASSERT_TRUE(client.keyExchange(failure)) << failure;
    EXPECT_EQ(client.cookieCount(), kNtsMaxCookies);
    EXPECT_EQ(client.ntpPort(), kSntpPort);
    const NtsExchange reply = client.query();
    ASSERT_TRUE(reply.ok) << reply.failure;
    // chronyd serves this machine's clock: the offset is the loopback's noise.
    EXPECT_LT(std::llabs(reply.offsetUnits), 5 * kUnitsPerMs);
    EXPECT_LE(reply.t1, reply.t4);
    EXPECT_EQ(client.cookieCount(), kNtsMaxCookies);
    EXPECT_EQ(client.keyExchangeCount(), 1u);
}

TEST(NtsChrony, CertificateForAnotherNameIsRefusedWithItsReason) {
    // The certificate names "localhost" only.
    NtsClient client(chrony("127.0.0.1"));
    std::string failure;
    EXPECT_FALSE(client.keyExchange(failure));
    EXPECT_EQ(failure, "certificate not valid for 127.0.0.1");
    const NtsExchange reply = client.query();
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.failure, "certificate not valid for 127.0.0.1");
    EXPECT_EQ(client.cookieCount(), 0u);
}

TEST(NtsChrony, ServerWithoutTls13OrFromAnUntrustedAuthorityIsRefusedWithItsReason) {
    NtsServer tls12 = chrony();
    tls12.port = portFrom("TAVREL_TEST_TLS12_PORT", 0);
    ASSERT_NE(tls12.port, 0) << "nts_chrony.sh names the TLS 1.2 server's port";
    NtsClient old(tls12);
    std::string failure;
    EXPECT_FALSE(old.keyExchange(failure));
    EXPECT_EQ(failure, "TLS 1.3 not offered");

    // Only another authority trusted beside the system's store.
    NtsServer untrusted = chrony();
    const char* otherAuthority = std::getenv("TAVREL_TEST_OTHER_CA_FILE");
    ASSERT_NE(otherAuthority, nullptr);
    untrusted.extraCaFile = otherAuthority;
    NtsClient stranger(untrusted);
    EXPECT_FALSE(stranger.keyExchange(failure));
    EXPECT_EQ(failure, "certificate not trusted");
}

TEST(NtsChrony, FlippedBitAndReplayedRepliesAreRefusedAndTheGenuineOneStillCounts) {
    NtsClient client(chrony());
    std::string failure;
    ASSERT_TRUE(client.keyExchange(failure)) << failure;
    Datagrams datagrams(client.ntpPort());

    std::vector<uint8_t> request;
    ASSERT_TRUE(client.buildRequest(platform::getSystemTimeAsFileTime(), request, failure)) << failure;
    datagrams.send(request);
    const std::vector<uint8_t> first = datagrams.receive();
    ASSERT_GT(first.size(), kNtpHeaderSize);
    // One bit of the server's transmit timestamp, which the Authenticator covers.
    std::vector<uint8_t> flipped = first;
    flipped[43] ^= 0x10;
    EXPECT_EQ(client.readReply(flipped, platform::getSystemTimeAsFileTime()).failure, "reply not authentic");
    // And one bit of the sealed cookies.
    flipped = first;
    flipped[flipped.size() - 20] ^= 0x01;
    EXPECT_EQ(client.readReply(flipped, platform::getSystemTimeAsFileTime()).failure, "reply not authentic");
    const NtsExchange genuine = client.readReply(first, platform::getSystemTimeAsFileTime());
    EXPECT_TRUE(genuine.ok) << genuine.failure;
    // The same reply again, now that it has been taken, and as the answer
    // to the next request.
    EXPECT_FALSE(client.readReply(first, platform::getSystemTimeAsFileTime()).ok);
    ASSERT_TRUE(client.buildRequest(platform::getSystemTimeAsFileTime(), request, failure)) << failure;
    datagrams.send(request);
    const std::vector<uint8_t> second = datagrams.receive();
    EXPECT_EQ(client.readReply(first, platform::getSystemTimeAsFileTime()).failure, "identifier does not match");
    const NtsExchange next = client.readReply(second, platform::getSystemTimeAsFileTime());
    EXPECT_TRUE(next.ok) << next.failure;
    EXPECT_EQ(client.keyExchangeCount(), 1u);
}

TEST(NtsChrony, TenExchangesFromOneKeyExchangeThenANewOneWhenTheCookiesAreUsedUp) {
    NtsClient client(chrony());
    for (int i = 0; i < 10; ++i) {
        const NtsExchange reply = client.query();
        ASSERT_TRUE(reply.ok) << i << ": " << reply.failure;
        EXPECT_EQ(client.cookieCount(), kNtsMaxCookies) << i;
    }
    EXPECT_EQ(client.keyExchangeCount(), 1u);
    // Requests that never get their replies spend the cookies.
    std::vector<uint8_t> request;
    std::string failure;
    while (client.cookieCount() > 0) {
        ASSERT_TRUE(client.buildRequest(platform::getSystemTimeAsFileTime(), request, failure)) << failure;
    }
    EXPECT_FALSE(client.buildRequest(platform::getSystemTimeAsFileTime(), request, failure));
    EXPECT_EQ(failure, "no cookies");
    const NtsExchange reply = client.query();
    EXPECT_TRUE(reply.ok) << reply.failure;
    EXPECT_EQ(client.keyExchangeCount(), 2u);
}

TEST(NtsChrony, NakFromAServerThatCannotReadTheCookieEndsTheKeysAndANewKeyExchangeFollows) {
    // A second chronyd with server keys of its own: the first one's cookies
    // mean nothing to it.
    const uint16_t strangerPort = portFrom("TAVREL_TEST_OTHER_NTP_PORT", 0);
    ASSERT_NE(strangerPort, 0) << "nts_chrony.sh names the second chronyd's port";
    NtsClient client(chrony());
    std::string failure;
    ASSERT_TRUE(client.keyExchange(failure)) << failure;
    Datagrams stranger(strangerPort);
    std::vector<uint8_t> request;
    ASSERT_TRUE(client.buildRequest(platform::getSystemTimeAsFileTime(), request, failure)) << failure;
    stranger.send(request);
    const NtsExchange nak = client.readReply(stranger.receive(), platform::getSystemTimeAsFileTime());
    EXPECT_FALSE(nak.ok);
    EXPECT_EQ(nak.kiss, "NTSN");
    EXPECT_EQ(client.cookieCount(), 0u);
    const NtsExchange reply = client.query();
    EXPECT_TRUE(reply.ok) << reply.failure;
    EXPECT_EQ(client.keyExchangeCount(), 2u);
}

// nts:// entries through the engine the window program and the service run:
// a Correct of the simulated clock by NTS, whatever the protocol setting,
// and a refusal that says why and never falls back to plain SNTP (chronyd
// answers plain SNTP on 127.0.0.1:123, so a fallback would set the clock).
class NtsEntries : public test::EngineTest {
protected:
    void start(OperationKind kind) { ASSERT_TRUE(engine->requestOperation(kind)); }
};

TEST_F(NtsEntries, ACorrectByAnNtsEntryIsWithinAMillisecondInTheWindowProgramAndTheService) {
    const std::string entry = "nts://localhost:" + std::to_string(ntsKePort());
    for (const bool service : {false, true}) {
        makeEngine(service);
        listServers({entry});
        settings.protocol.store(Protocol::Time);  // NTS all the same
        test::setSimulatedOffsetSeconds(1.25);
        start(OperationKind::Correct);
        ASSERT_TRUE(runToEnd());
        EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.001) << (service ? "service" : "window");
        EXPECT_NE(log().find("Tavreled, Time Corrected by -1.2"), std::string::npos) << log();
        EXPECT_NE(log().find("Server used was " + entry), std::string::npos) << log();
    }
    const std::vector<HistoryEntry> rows = readHistory();
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.back().protocol, "NTS");
    EXPECT_EQ(rows.back().server, entry);
}

TEST_F(NtsEntries, ACertificateForAnotherNameFailsTheEntryWithItsReasonAndNoPlainSntp) {
    const std::string entry = "nts://127.0.0.1:" + std::to_string(ntsKePort());
    listServers({entry});
    settings.protocol.store(Protocol::Auto);
    settings.defaultServerOnly.store(true);
    test::setSimulatedOffsetSeconds(1.25);
    start(OperationKind::Correct);
    ASSERT_TRUE(runToEnd());
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 1.25, 1e-6);
    EXPECT_NE(log().find("No response from " + entry + " (certificate not valid for 127.0.0.1)"), std::string::npos)
        << log();
    EXPECT_EQ(log().find("Tavreled"), std::string::npos) << log();
}

#ifdef _WIN32
// Tavrel.exe's tests have no path relay (it is Linux's): this one passes
// each request on to chronyd and its reply back, one at a time, letting the
// test alter the reply on the way, on a thread of its own that closing its
// sockets ends.
class ReplyRelay {
public:
    ReplyRelay(const platform::NetAddress& listen, const platform::NetAddress& target,
               std::function<void(std::vector<uint8_t>&)> alter)
        : alter_(std::move(alter)) {
        listen_ = platform::Socket::create(platform::SocketKind::Udp, listen.family);
        upstream_ = platform::Socket::create(platform::SocketKind::Udp, target.family);
        ok_ = listen_ && upstream_ && listen_->bind(listen) && upstream_->connect(target);
        if (ok_) thread_ = std::thread([this] { run(); });
    }
    ~ReplyRelay() {
        if (listen_) listen_->close();
        if (upstream_) upstream_->close();
        if (thread_.joinable()) thread_.join();
    }
    bool ok() const { return ok_; }
    struct Counts {
        uint64_t inbound = 0;
    };
    Counts counts() const { return {inbound_.load()}; }

private:
    void run() {
        upstream_->setWaitLimit(kGenerousMs);
        std::vector<uint8_t> datagram;
        for (;;) {
            platform::NetAddress client;
            datagram.assign(kNtsMaxPacket, 0);
            const long n = listen_->receiveFrom(datagram.data(), datagram.size(), client);
            if (n < 0) return;  // closed
            if (upstream_->send(datagram.data(), static_cast<size_t>(n)) != n) continue;
            const long m = upstream_->receive(datagram.data(), datagram.size());
            if (m <= 0) continue;  // lost, or closed (the next receiveFrom says)
            datagram.resize(static_cast<size_t>(m));
            alter_(datagram);
            (void)listen_->sendTo(datagram.data(), datagram.size(), client);
            inbound_.fetch_add(1);
        }
    }

    std::function<void(std::vector<uint8_t>&)> alter_;
    std::shared_ptr<platform::Socket> listen_, upstream_;
    std::atomic<uint64_t> inbound_{0};
    bool ok_ = false;
    std::thread thread_;
};
#endif
// Through a relay that alters chronyd's replies on the way (its NTS-KE names
// 127.0.0.1's twin 127.0.0.2 as the NTP server, where the relay listens): a
// reply with one bit flipped, and a genuine reply from an earlier exchange
// replayed, are refused with the reason in the log, and the clock stays.
TEST_F(NtsEntries, TamperedAndReplayedRepliesAreRefusedWithTheirReasonAndTheClockStays) {
    const uint16_t kePort = portFrom("TAVREL_TEST_RELAYED_NTS_PORT", 4462);
    const uint16_t ntpPort = portFrom("TAVREL_TEST_RELAYED_NTP_PORT", 1124);
    enum Mode { Pass, Flip, Replay };
    std::atomic<int> mode{Pass};
    std::mutex kept;
    std::vector<uint8_t> earlier;
    const std::function<void(std::vector<uint8_t>&)> alter = [&](std::vector<uint8_t>& reply) {
        std::lock_guard lock(kept);
        if (mode.load() == Pass) earlier = reply;
        if (mode.load() == Flip && reply.size() > 60) reply[reply.size() - 20] ^= 0x08;
        if (mode.load() == Replay && !earlier.empty()) reply = earlier;
    };
#ifdef _WIN32
    // For Tavrel.exe's tests nts_chrony.sh serves this chronyd on ::1, and
    // its NTS-KE names 127.0.0.1, where the relay listens.
    platform::NetAddress target;
    const char* address = std::getenv("TAVREL_TEST_RELAYED_ADDRESS");
    ASSERT_TRUE(platform::parseAddress(address ? address : "::1", target));
    target.port = ntpPort;
    ReplyRelay relay(platform::NetAddress::v4(platform::kLoopback, ntpPort), target, alter);
#else
    test::PathShape shape;
    shape.alterInbound = alter;
    test::PathRelay relay(test::RelayProtocol::Udp, 0x7F000002, ntpPort, 0x7F000001, ntpPort, shape);
#endif
    ASSERT_TRUE(relay.ok());

    const std::string entry = "nts://localhost:" + std::to_string(kePort);
    listServers({entry});
    settings.protocol.store(Protocol::Sntp);
    settings.defaultServerOnly.store(true);
    settings.syncTimeout.store(std::chrono::seconds(5));
    test::setSimulatedOffsetSeconds(1.25);
    start(OperationKind::Correct);
    ASSERT_TRUE(runToEnd());
    ASSERT_NEAR(test::simulatedOffsetSeconds(), 0, 0.001) << log();  // the genuine path works

    for (const Mode altered : {Flip, Replay}) {
        mode.store(altered);
        test::setSimulatedOffsetSeconds(1.25);
        const size_t logged = log().size();
        start(OperationKind::Correct);
        ASSERT_TRUE(runToEnd());
        const std::string said = log().substr(logged);
        EXPECT_NEAR(test::simulatedOffsetSeconds(), 1.25, 1e-6) << said;
        const size_t at = said.find("No response from " + entry + " (");
        ASSERT_NE(at, std::string::npos) << said;
        const std::string reason = said.substr(at, said.find(')', at) - at + 1);
        std::cout << (altered == Flip ? "flipped: " : "replayed: ") << reason << "\n";
        EXPECT_EQ(reason.find("no response"), std::string::npos) << reason;  // a reason of its own
    }
    EXPECT_GT(relay.counts().inbound, 3u);
}

}  // namespace
}  // namespace tavrel
