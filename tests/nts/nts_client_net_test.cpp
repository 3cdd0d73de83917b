// The NTS client's bounds against a server that takes the connection and
// says nothing: its time-out, and abort() from another thread; and its walk
// over every address of a name.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "nts/nts_client.h"
#include "platform/nts_crypto.h"
#include "platform/socket.h"
#include "platform/time.h"
#ifndef _WIN32
#include "tests/support/private_network.h"
#endif
#include "tests/support/query_fixture.h"
#include "tests/support/temp_dir.h"

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

#ifndef _WIN32
// Takes one connection on 127.0.0.2:port, within a generous bound, and
// resets it, as a server does that will not talk to this client.
class ResettingListener {
public:
    explicit ResettingListener(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(0x7F000002);
        const timeval bound{30, 0};
        ok_ = fd_ >= 0 && setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) == 0 &&
              bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && listen(fd_, 4) == 0;
    }
    ~ResettingListener() {
        if (fd_ >= 0) close(fd_);
    }
    ResettingListener(const ResettingListener&) = delete;
    ResettingListener& operator=(const ResettingListener&) = delete;
    bool ok() const { return ok_; }
    // True when a connection came and was reset.
    bool resetOne() {
        const int connection = accept(fd_, nullptr, nullptr);
        if (connection < 0) return false;
        const linger abrupt{1, 0};
        (void)setsockopt(connection, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
        close(connection);
        return true;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

// Every address of a name in turn, within the one time-out: one that resets
// the connection, one that refuses it, one that takes it and never speaks
// and one that hangs up after the hello each go on to the next, whatever
// order the resolver gives them in. The names come from a hosts file
// placed over /etc/hosts for this process.
TEST_F(NtsClientBounds, EveryAddressOfANameIsTriedInTurn) {
    const uint16_t port = listener_->localPort();
    ResettingListener resetting(port);  // 127.0.0.2
    ASSERT_TRUE(resetting.ok());
    // Nobody listens on 127.0.0.3: refused. 127.0.0.4 queues the connection
    // and never answers.
    const std::shared_ptr<platform::Socket> mute = platform::Socket::create(platform::SocketKind::Tcp);
    ASSERT_TRUE(mute && mute->bind(platform::NetAddress::v4(0x7F000004, port)) &&
                mute->listen(platform::Socket::kSystemBacklog));
    test::TempDir dir;
    test::writeFile(dir.file("hosts"),
                    "127.0.0.2 walk.test\n127.0.0.3 walk.test\n127.0.0.4 walk.test\n127.0.0.1 walk.test\n");
    ASSERT_TRUE(test::placeFileOver(dir.file("hosts"), "/etc/hosts"));
    struct Restore {
        ~Restore() { test::removeFileOver("/etc/hosts"); }
    } restore;

    std::atomic<bool> wasReset{false};
    std::atomic<bool> greeted{false};
    std::thread resetter([&] { wasReset.store(resetting.resetOne()); });
    // listener_, on 127.0.0.1, reads the TLS hello and hangs up.
    std::thread hangUp([&] {
        listener_->setWaitLimit(30'000);
        const std::shared_ptr<platform::Socket> connection = listener_->accept();
        if (!connection) return;
        connection->setWaitLimit(30'000);
        char hello[4096];
        greeted.store(connection->receive(hello, sizeof hello) > 0);
        connection->close();
    });
    NtsServer server = silent(4000);
    server.host = "walk.test";
    NtsClient client(server);
    std::string failure;
    const bool ok = client.keyExchange(failure);
    resetter.join();
    hangUp.join();
    EXPECT_FALSE(ok);
    EXPECT_TRUE(wasReset.load());
    EXPECT_TRUE(greeted.load());
    EXPECT_FALSE(failure.empty());
    EXPECT_EQ(client.cookieCount(), 0u);
}
#endif

}  // namespace
}  // namespace tavrel
