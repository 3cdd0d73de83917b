// The NTS client's bounds against a server that takes the connection and
// says nothing: its time-out, and abort() from another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "nts/nts_client.h"
#include "platform/nts_crypto.h"
#include "platform/socket.h"
#include "platform/time.h"
#include "tests/support/query_fixture.h"

namespace tavrel {
namespace {

class NtsClientBounds : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::ntsCryptoAvailable()) GTEST_SKIP() << platform::kNtsUnavailable;
        listener_ = platform::Socket::create(platform::SocketKind::Tcp);
        ASSERT_TRUE(listener_);
        ASSERT_TRUE(listener_->bind(platform::NetAddress::v4(platform::kLoopback, 0)));
        ASSERT_TRUE(listener_->listen(platform::Socket::kSystemBacklog));
    }
    void TearDown() override {
        if (listener_) listener_->close();
    }
    NtsServer silent(uint32_t timeoutMs) {
        NtsServer server;
        server.host = "127.0.0.1";
        server.port = listener_->localPort();
        server.timeoutMs = timeoutMs;
        return server;
    }

    const platform::SocketLibraryUse library_;
    std::shared_ptr<platform::Socket> listener_;
};

TEST_F(NtsClientBounds, SilentServerTimesOutWithinItsBound) {
    NtsClient client(silent(300));
    const uint64_t start = platform::getTickCount64();
    std::string failure;
    EXPECT_FALSE(client.keyExchange(failure));
    const uint64_t took = platform::getTickCount64() - start;
    EXPECT_EQ(failure, "no response");
    EXPECT_GE(took, 290u);
    EXPECT_LT(took, 30'000u);  // generous: only "not forever"
}

TEST_F(NtsClientBounds, AbortEndsAKeyExchangeAtOnce) {
    NtsClient client(silent(600'000));
    std::atomic<bool> done{false};
    std::string failure;
    std::thread exchange([&] {
        (void)client.keyExchange(failure);
        done.store(true);
    });
    // The client is connected once the listener hands over its connection.
    const std::shared_ptr<platform::Socket> connection = listener_->accept();
    EXPECT_TRUE(connection);
    client.abort();
    EXPECT_TRUE(test::waitUntil([&] { return done.load(); }));
    exchange.join();
    EXPECT_EQ(failure, "aborted");
    // And it stays aborted until resumed, then works as before.
    EXPECT_EQ(client.query().failure, "aborted");
    client.resume();
    std::thread again([&] { (void)client.keyExchange(failure); });
    EXPECT_TRUE(listener_->accept());
    client.abort();
    again.join();
    EXPECT_EQ(failure, "aborted");
}

}  // namespace
}  // namespace tavrel
