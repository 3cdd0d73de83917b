#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/time_protocol.h"
#include "storage/settings.h"
#include "tests/support/query_fixture.h"
#include "timeservice/time_servers.h"

namespace tavrel {
namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

// One TIME query: the bytes the server sent before closing.
std::vector<uint8_t> askTime() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in sa = loopback(37);
    std::vector<uint8_t> got;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        uint8_t buffer[16];
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 20000) > 0) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got.insert(got.end(), buffer, buffer + n);
        }
    }
    close(fd);
    return got;
}

class UdpClient {
public:
    UdpClient() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
        const sockaddr_in sa = loopback(123);
        connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    }
    ~UdpClient() { close(fd_); }
    void send(const std::vector<uint8_t>& datagram) { ::send(fd_, datagram.data(), datagram.size(), 0); }
    // The next reply within the wait, or empty.
    std::vector<uint8_t> receive(int waitMs = 20000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) return {};
        uint8_t buffer[512];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::vector<uint8_t>(buffer, buffer + n) : std::vector<uint8_t>{};
    }

private:
    int fd_;
};

std::vector<uint8_t> clientRequest() {
    std::vector<uint8_t> request(48, 0);
    request[0] = 0x23;
    for (int i = 40; i < 48; ++i) request[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    return request;
}

// True when nothing holds the port (connections lingering in TIME_WAIT
// after a closed server do not count).
bool portFree(int type, uint16_t port) {
    const int fd = socket(AF_INET, type, 0);
    const int on = 1;
    if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in sa = loopback(port);
    const bool ok = bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}

// True when a socket of this network namespace is bound to the port (for
// TCP: listens on it), read from /proc/net without touching the port: a
// probing bind could take it just when a server binds, and the server
// would find it taken.
bool portHeld(const char* table, uint16_t port, const char* state) {
    std::ifstream lines(std::string("/proc/net/") + table);
    std::string line;
    std::getline(lines, line);  // the header
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slotNumber, local, remote, st;
        fields >> slotNumber >> local >> remote >> st;
        if (local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0 && (state == nullptr || st == state)) {
            return true;
        }
    }
    return false;
}

// What the servers reported for the status line.
class StatusLines {
public:
    ServerStatusSink sink() {
        return [this](std::string text) {
            std::lock_guard lock(mutex_);
            lines_.push_back(std::move(text));
        };
    }
    bool shows(const std::string& text) {
        return test::waitUntil([&] {
            std::lock_guard lock(mutex_);
            return !lines_.empty() && lines_.back() == text;
        });
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

class TimeServers : public test::QueryTest {
protected:
    void SetUp() override {
        QueryTest::SetUp();
        settings.timeServerEnabled.store(1);
        settings.logSyncs.store(1);
        startTimeServers(lines.sink());
        ASSERT_TRUE(test::waitUntil([] { return serverActivity.load() == 3; }));
        // Until the ports answer.
        ASSERT_TRUE(test::waitUntil([] { return portHeld("udp", 123, nullptr); })) << "nothing took UDP 123";
        ASSERT_TRUE(test::waitUntil([] { return portHeld("tcp", 37, "0A"); })) << "nothing listens on TCP 37";
    }
    void TearDown() override {
        stopTimeServers();
        joinTimeServers();
        settings.timeServerEnabled.store(0);
        EXPECT_EQ(serverActivity.load(), 0);
        QueryTest::TearDown();
    }
    StatusLines lines;
};

TEST_F(TimeServers, TimeClientGetsFourBytesOfNow) {
    const std::vector<uint8_t> reply = askTime();
    ASSERT_EQ(reply.size(), 4u);
    const platform::FileTime served = wireSecondsToFileTime(readWord(reply, 0));
    const platform::FileTime now = platform::getSystemTimeAsFileTime();
    EXPECT_LE(now - served, 2 * platform::kFileTimeUnitsPerSecond);
    EXPECT_TRUE(lines.shows("TIME Server Tavreled localhost"));
    EXPECT_TRUE(test::waitUntil([&] { return log().find(" : TIME Server Tavreled localhost\r\n") != std::string::npos; }));
    EXPECT_EQ(serverStateText(), "TIME and SNTP Server Active");
}

TEST_F(TimeServers, SntpClientGetsAMatchingReply) {
    UdpClient client;
    const std::vector<uint8_t> request = clientRequest();
    client.send(request);
    const std::vector<uint8_t> reply = client.receive();
    ASSERT_EQ(reply.size(), 48u);
    EXPECT_EQ(reply[0], 0x1C);
    EXPECT_TRUE(std::equal(request.begin() + 40, request.end(), reply.begin() + 24));
    const platform::FileTime served = ntpToFileTime(readWord(reply, 40), readWord(reply, 44));
    const platform::FileTime now = platform::getSystemTimeAsFileTime();
    EXPECT_LE(std::llabs(static_cast<long long>(now - served)), static_cast<long long>(platform::kFileTimeUnitsPerSecond));
    EXPECT_TRUE(lines.shows("SNTP Server Tavreled localhost"));
}

TEST_F(TimeServers, TwoHalfRequestsAreAnsweredOnce) {
    UdpClient client;
    const std::vector<uint8_t> request = clientRequest();
    client.send(std::vector<uint8_t>(request.begin(), request.begin() + 24));
    client.send(std::vector<uint8_t>(request.begin() + 24, request.end()));
    EXPECT_EQ(client.receive().size(), 48u);
    EXPECT_TRUE(client.receive(300).empty());
}

TEST_F(TimeServers, LongRequestIsAnsweredFromItsFirst48Bytes) {
    UdpClient client;
    std::vector<uint8_t> request = clientRequest();
    request.resize(120, 0xEE);  // an extension field
    client.send(request);
    const std::vector<uint8_t> reply = client.receive();
    ASSERT_EQ(reply.size(), 48u);
    EXPECT_EQ(reply[0], 0x1C);
}

TEST_F(TimeServers, NothingIsLoggedWithoutSyncLogging) {
    settings.logSyncs.store(0);
    UdpClient client;
    client.send(clientRequest());
    ASSERT_EQ(client.receive().size(), 48u);
    EXPECT_TRUE(lines.shows("SNTP Server Tavreled localhost"));
    EXPECT_EQ(log(), "");
}

TEST_F(TimeServers, SwitchingOffStopsBothThreadsAndFreesThePorts) {
    stopTimeServers();
    joinTimeServers();
    EXPECT_EQ(serverActivity.load(), 0);
    EXPECT_TRUE(test::waitUntil([] { return portFree(SOCK_STREAM, 37) && portFree(SOCK_DGRAM, 123); }));
    // And on again.
    startTimeServers(lines.sink());
    ASSERT_TRUE(test::waitUntil([] { return serverActivity.load() == 3; }));
    EXPECT_TRUE(test::waitUntil([] { return askTime().size() == 4; }));
}

TEST(SntpPort, TakenPortShowsTheError) {
    // Another socket holds UDP 123 without address reuse.
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in sa = loopback(123);
    sockaddr_in any = sa;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    StatusLines lines;
    settings.timeServerEnabled.store(1);
    startTimeServers(lines.sink());
    EXPECT_TRUE(lines.shows(kSntpPortError));
    EXPECT_TRUE(test::waitUntil([] { return serverActivity.load() == kTimeServerRunning; }));
    stopTimeServers();
    joinTimeServers();
    settings.timeServerEnabled.store(0);
    EXPECT_EQ(serverActivity.load(), 0);
    close(holder);
}

}  // namespace
}  // namespace tavrel
