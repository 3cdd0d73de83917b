// The relay that stands for a network path: each direction's delay, the
// loss, and a stream kept in order through jitter.
#include "tests/support/path_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace tavrel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr uint32_t kLoopback = 0x7F000001;

sockaddr_in at(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    a.sin_port = htons(port);
    return a;
}

// A UDP server that notes when each datagram arrived and sends it back.
class UdpEcho {
public:
    UdpEcho() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = at(0);
        socklen_t length = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) continue;
                char buffer[512];
                sockaddr_in from{};
                socklen_t fromLength = sizeof from;
                const ssize_t got =
                    ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
                if (got <= 0) continue;
                arrived_.store(Clock::now().time_since_epoch().count());
                ::sendto(fd_, buffer, static_cast<size_t>(got), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
            }
        });
    }
    ~UdpEcho() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    uint16_t port() const { return port_; }
    Clock::time_point arrived() const { return Clock::time_point(Clock::duration(arrived_.load())); }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<Clock::rep> arrived_{0};
    std::thread thread_;
};

// Sends one datagram through the relay; the time its echo took, or -1 when
// none came within `wait`.
std::chrono::microseconds roundTrip(uint16_t relayPort, Clock::time_point& sent, std::chrono::milliseconds wait) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = at(relayPort);
    sent = Clock::now();
    ::sendto(fd, "ping", 4, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    pollfd p{fd, POLLIN, 0};
    const bool answered = ::poll(&p, 1, static_cast<int>(wait.count())) == 1;
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent);
    ::close(fd);
    return answered ? took : std::chrono::microseconds(-1);
}

TEST(PathRelay, EachDirectionIsHeldForItsOwnDelay) {
    UdpEcho echo;
    PathShape shape;
    shape.outbound = 30ms;
    shape.inbound = 10ms;
    PathRelay relay(RelayProtocol::Udp, kLoopback, 0, kLoopback, echo.port(), shape);
    ASSERT_TRUE(relay.ok());
    Clock::time_point sent;
    const auto took = roundTrip(relay.port(), sent, 5000ms);
    ASSERT_GE(took.count(), 0) << "no echo through the relay";
    EXPECT_GE(echo.arrived() - sent, 30ms);
    EXPECT_GE(took, 40ms);
    EXPECT_LT(took, 2000ms);  // a generous bound: only the lower ones are the relay's
    EXPECT_EQ(relay.counts().outbound, 1u);
    EXPECT_EQ(relay.counts().inbound, 1u);
}

TEST(PathRelay, JitterStaysWithinItsBoundsAndLossLosesTheShareAsked) {
    UdpEcho echo;
    PathShape shape;
    shape.outbound = 20ms;
    shape.inbound = 20ms;
    shape.jitter = 10ms;
    PathRelay relay(RelayProtocol::Udp, kLoopback, 0, kLoopback, echo.port(), shape);
    ASSERT_TRUE(relay.ok());
    std::chrono::microseconds shortest = 1h;
    for (int i = 0; i < 20; ++i) {
        Clock::time_point sent;
        const auto took = roundTrip(relay.port(), sent, 5000ms);
        ASSERT_GE(took.count(), 0);
        shortest = std::min(shortest, took);
    }
    EXPECT_GE(shortest, 20ms);  // 2 x (20 - 10)

    PathShape lossy;
    lossy.loss = 1.0;
    PathRelay dropping(RelayProtocol::Udp, kLoopback, 0, kLoopback, echo.port(), lossy);
    Clock::time_point sent;
    EXPECT_LT(roundTrip(dropping.port(), sent, 300ms).count(), 0);
    EXPECT_EQ(dropping.counts().lostOutbound, 1u);
}

// A stream keeps its order whatever each piece's delay.
TEST(PathRelay, AStreamArrivesWholeAndInOrder) {
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = at(0);
    socklen_t length = sizeof a;
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::listen(server, 1);
    ::getsockname(server, reinterpret_cast<sockaddr*>(&a), &length);
    std::string received;
    std::thread reader([&] {
        const int c = ::accept(server, nullptr, nullptr);
        char buffer[256];
        for (ssize_t got; (got = ::recv(c, buffer, sizeof buffer, 0)) > 0;) received.append(buffer, static_cast<size_t>(got));
        ::close(c);
    });
    PathShape shape;
    shape.outbound = 15ms;
    shape.jitter = 15ms;
    PathRelay relay(RelayProtocol::Tcp, kLoopback, 0, kLoopback, ntohs(a.sin_port), shape);
    ASSERT_TRUE(relay.ok());
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = at(relay.port());
    ASSERT_EQ(::connect(client, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    std::string sent;
    for (int i = 0; i < 30; ++i) {
        const std::string piece = std::to_string(i) + ",";
        ::send(client, piece.data(), piece.size(), MSG_NOSIGNAL);
        sent += piece;
        std::this_thread::sleep_for(1ms);  // separate pieces, not a pacing the test waits on
    }
    ::shutdown(client, SHUT_WR);
    reader.join();
    ::close(client);
    ::close(server);
    EXPECT_EQ(received, sent);
}

TEST(PathRelay, DurationsAreReadWithTheirUnits) {
    std::chrono::microseconds d{};
    ASSERT_TRUE(parseDuration("30ms", d));
    EXPECT_EQ(d, 30ms);
    ASSERT_TRUE(parseDuration("250us", d));
    EXPECT_EQ(d, 250us);
    ASSERT_TRUE(parseDuration("2s", d));
    EXPECT_EQ(d, 2s);
    EXPECT_FALSE(parseDuration("-1ms", d));
    EXPECT_FALSE(parseDuration("5 minutes", d));
}

}  // namespace
}  // namespace tavrel::test
