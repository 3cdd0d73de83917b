#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/time_protocol.h"
#include "storage/settings.h"
#include "tests/support/environment.h"
#include "tests/support/private_network.h"
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
    // From `from` (0: the system's choice) to `to`, port 123; the socket is
    // connected, so it hears replies from `to` only.
    explicit UdpClient(uint32_t to = INADDR_LOOPBACK, uint32_t from = 0) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
        if (from != 0) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(from);
            bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        }
        sockaddr_in sa = loopback(123);
        sa.sin_addr.s_addr = htonl(to);
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

// Options for servers under test: the system's time services are never
// stopped or started, only looked up; the clock counts as corrected a
// moment ago.
TimeServerOptions testOptions(ServerStatusSink sink, bool limitClients = true) {
    TimeServerOptions options;
    options.sink = std::move(sink);
    options.limitClients = limitClients;
    options.standing = [] { return ClockStanding{platform::getSystemTimeAsFileTime() - 10'000'000, 2, 0, false, 0}; };
    options.localTimeService.stop = options.localTimeService.start = [](const std::string&) {};
    return options;
}

class TimeServers : public test::QueryTest {
protected:
    void SetUp() override {
        QueryTest::SetUp();
        settings.timeServerEnabled.store(true);
        settings.logSyncs.store(true);
        servers.start(testOptions(lines.sink()));
        ASSERT_TRUE(test::waitUntil([&] { return servers.activity() == 3; }));
        // Until the ports answer.
        ASSERT_TRUE(test::waitUntil([] { return portHeld("udp", 123, nullptr); })) << "nothing took UDP 123";
        ASSERT_TRUE(test::waitUntil([] { return portHeld("tcp", 37, "0A"); })) << "nothing listens on TCP 37";
    }
    void TearDown() override {
        servers.stop();
        servers.join();
        settings.timeServerEnabled.store(false);
        EXPECT_EQ(servers.activity(), 0);
        QueryTest::TearDown();
    }
    StatusLines lines;
    tavrel::TimeServers servers;
};

TEST_F(TimeServers, TimeClientGetsFourBytesOfNow) {
    const std::vector<uint8_t> reply = askTime();
    ASSERT_EQ(reply.size(), 4u);
    const platform::FileTime served = wireSecondsToFileTime(readWord(reply, 0));
    const platform::FileTime now = platform::getSystemTimeAsFileTime();
    EXPECT_LE(now - served, 2 * platform::kFileTimeUnitsPerSecond);
    EXPECT_TRUE(lines.shows("TIME Server Tavreled 127.0.0.1 (localhost)"));
    EXPECT_TRUE(test::waitUntil([&] { return log().find(" : TIME Server Tavreled 127.0.0.1 (localhost)\r\n") != std::string::npos; }));
    EXPECT_EQ(servers.stateText(), "TIME and SNTP Server Active");
}

// Both servers listen on IPv6 too: Tavrel's own client asks them on ::1,
// and the log names the client by its IPv6 address or name.
TEST_F(TimeServers, BothServersAnswerOnIPv6Too) {
    if (!test::ipv6LoopbackAvailable()) GTEST_SKIP() << "this machine has no IPv6 loopback";
    for (const bool sntp : {true, false}) {
        settings.protocol.store(sntp ? Protocol::Sntp : Protocol::Time);
        bool accepted = false;
        // The IPv6 servers bind just after the IPv4 ones.
        EXPECT_TRUE(test::waitUntil([&] { return accepted = runQuery(target("::1")).accepted; })) << (sntp ? "SNTP" : "TIME");
    }
    EXPECT_TRUE(test::waitUntil([&] {
        const std::string text = log();
        return text.find(" : SNTP Server Tavreled ") != std::string::npos &&
               (text.find("::1") != std::string::npos || text.find("localhost") != std::string::npos);
    }));
}

TEST_F(TimeServers, SntpClientGetsAMatchingReply) {
    UdpClient client;
    const std::vector<uint8_t> request = clientRequest();
    client.send(request);
    const std::vector<uint8_t> reply = client.receive();
    ASSERT_EQ(reply.size(), 48u);
    EXPECT_EQ(reply[0], 0x24);  // version 4, as asked; server
    EXPECT_TRUE(std::equal(request.begin() + 40, request.end(), reply.begin() + 24));
    const platform::FileTime served = ntpToFileTime(readWord(reply, 40), readWord(reply, 44));
    const platform::FileTime now = platform::getSystemTimeAsFileTime();
    EXPECT_LE(std::llabs(static_cast<long long>(now - served)), static_cast<long long>(platform::kFileTimeUnitsPerSecond));
    EXPECT_TRUE(lines.shows("SNTP Server Tavreled 127.0.0.1 (localhost)"));
}

// Our own server answers another Tavrel, naming its source in the reply;
// a Tavrel whose source is the asker itself (a loop through its servers)
// is refused by that asker, and its time never comes back to it.
class OwnServer : public test::QueryTest {};
TEST_F(OwnServer, IsTakenByAnotherTavrelUnlessItsSourceIsTheAsker) {
    settings.timeServerEnabled.store(true);
    settings.protocol.store(Protocol::Sntp);
    StatusLines lines;
    std::atomic<uint32_t> source{0x7F000005};  // the test's: read by the serving thread
    TimeServerOptions options = testOptions(lines.sink());
    options.standing = [&source] {
        ClockStanding standing{platform::getSystemTimeAsFileTime() - 10'000'000, 2, 0, false, 0};
        standing.sourceReferenceId = source.load();
        return standing;
    };
    tavrel::TimeServers servers;
    servers.start(options);
    ASSERT_TRUE(test::waitUntil([] { return portHeld("udp", 123, nullptr); }));
    const QueryResult taken = runQuery();
    EXPECT_TRUE(taken.accepted) << taken.failure;
    EXPECT_EQ(taken.stratum, 2);
    source.store(0x7F000001);  // the server's source is where the query comes from
    const QueryResult loop = runQuery();
    EXPECT_FALSE(loop.accepted);
    EXPECT_EQ(loop.failure, "the server's source is this computer");
    servers.stop();
    servers.join();
    settings.timeServerEnabled.store(false);
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
    EXPECT_EQ(reply[0], 0x24);  // version 4, as asked; server
}

TEST_F(TimeServers, NothingIsLoggedWithoutSyncLogging) {
    settings.logSyncs.store(false);
    UdpClient client;
    client.send(clientRequest());
    ASSERT_EQ(client.receive().size(), 48u);
    EXPECT_TRUE(lines.shows("SNTP Server Tavreled 127.0.0.1 (localhost)"));
    EXPECT_EQ(log(), "");
}

TEST_F(TimeServers, SwitchingOffStopsBothThreadsAndFreesThePorts) {
    servers.stop();
    servers.join();
    EXPECT_EQ(servers.activity(), 0);
    EXPECT_TRUE(test::waitUntil([] { return portFree(SOCK_STREAM, 37) && portFree(SOCK_DGRAM, 123); }));
    // And on again.
    servers.start(testOptions(lines.sink()));
    ASSERT_TRUE(test::waitUntil([&] { return servers.activity() == 3; }));
    EXPECT_TRUE(test::waitUntil([] { return askTime().size() == 4; }));
}

// --- The hostile network ---------------------------------------------------

// Replies within `waitMs` to requests already sent.
int repliesWithin(UdpClient& client, int waitMs) {
    int replies = 0;
    while (!client.receive(waitMs).empty()) ++replies;
    return replies;
}

size_t linesIn(const std::string& log, const std::string& text) {
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
}

TEST_F(TimeServers, OnlyClientRequestsAreAnswered) {
    UdpClient client;
    std::vector<uint8_t> request = clientRequest();
    for (int version = 0; version < 8; ++version) {
        for (int mode = 0; mode < 8; ++mode) {
            request[0] = static_cast<uint8_t>((version << 3) | mode);
            client.send(request);
        }
    }
    EXPECT_EQ(repliesWithin(client, 1000), 4);  // mode 3, versions 1 to 4
}

// A server's reply sent with a forged source, 127.0.0.1:123 to itself:
// answering it would answer itself for ever.
TEST_F(TimeServers, AForgedServerReplyStartsNoLoop) {
    const int raw = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    ASSERT_GE(raw, 0) << "raw sockets need the network namespace's rights";
    uint8_t datagram[8 + 48] = {};
    datagram[0] = 0;
    datagram[1] = 123;  // source port 123
    datagram[2] = 0;
    datagram[3] = 123;  // destination port 123
    datagram[5] = sizeof datagram;
    datagram[8] = 0x24;  // version 4, mode 4: a server's reply
    const sockaddr_in to = loopback(123);
    ASSERT_EQ(sendto(raw, datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(sizeof datagram));
    close(raw);
    // An ordinary client shows the server still answers; no line ever came
    // for the forged one.
    UdpClient client;
    client.send(clientRequest());
    ASSERT_EQ(client.receive().size(), 48u);
    EXPECT_TRUE(test::waitUntil([&] { return linesIn(log(), "SNTP Server Tavreled") == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(linesIn(log(), "SNTP Server Tavreled"), 1u) << log();
}

// A piece of a request from one sender is never finished by another's.
TEST_F(TimeServers, PiecesFromTwoSendersAreNotJoined) {
    UdpClient stray(INADDR_LOOPBACK, 0x7F000009);
    stray.send(std::vector<uint8_t>(1, 0x23));
    UdpClient client;
    const std::vector<uint8_t> request = clientRequest();
    client.send(request);
    const std::vector<uint8_t> reply = client.receive();
    ASSERT_EQ(reply.size(), 48u);
    EXPECT_TRUE(std::equal(request.begin() + 40, request.end(), reply.begin() + 24));
    EXPECT_TRUE(stray.receive(300).empty());
}

// The reply comes from the address the request went to (a client that
// asked 127.0.0.5 refuses one from 127.0.0.1).
TEST_F(TimeServers, RepliesComeFromTheAddressAsked) {
    UdpClient client(0x7F000005);
    client.send(clientRequest());
    EXPECT_EQ(client.receive(5000).size(), 48u);
}

// A flood from one client leaves one line in the log, not one a request.
TEST_F(TimeServers, AFloodLeavesOneLinePerClient) {
    // A LAN server: no limits, so that the flood is answered.
    servers.stop();
    servers.join();
    servers.start(testOptions(lines.sink(), false));
    ASSERT_TRUE(test::waitUntil([&] { return servers.activity() == 3; }));
    UdpClient client;
    const std::vector<uint8_t> request = clientRequest();
    int answered = 0;
    for (int round = 0; round < 100; ++round) {
        for (int i = 0; i < 50; ++i) client.send(request);
        answered += repliesWithin(client, 50);
    }
    EXPECT_GT(answered, 4000);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(linesIn(log(), "SNTP Server Tavreled 127.0.0.1 (localhost)"), 1u);
}

// One address asking as fast as it can is answered for its burst and
// then seldom, with a RATE kiss now and then, while a second address asking
// once a second gets every answer; a spoofed source port 0 gets nothing.
TEST_F(TimeServers, AnAddressAskingTooOftenIsLimitedAndKissedWhileOthersAreServed) {
    std::atomic<bool> done{false};
    std::atomic<int> sent{0}, times{0}, kisses{0};
    std::thread abuser([&] {
        UdpClient client(INADDR_LOOPBACK, 0x7F000005);
        const std::vector<uint8_t> request = clientRequest();
        while (!done.load() && sent.load() < 20'000) {
            for (int i = 0; i < 32; ++i) client.send(request);
            sent += 32;
            for (std::vector<uint8_t> reply = client.receive(5); !reply.empty(); reply = client.receive(5)) {
                if (reply.size() == 48 && reply[1] == 0) ++kisses;
                else if (reply.size() == 48) ++times;
            }
        }
    });
    UdpClient polite(INADDR_LOOPBACK, 0x7F000006);
    int answered = 0;
    for (int i = 0; i < 3; ++i) {
        polite.send(clientRequest());
        const std::vector<uint8_t> reply = polite.receive(5000);
        if (reply.size() == 48 && reply[1] == 2) ++answered;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    done.store(true);
    abuser.join();
    EXPECT_EQ(answered, 3);
    ASSERT_GT(sent.load(), 1000);
    EXPECT_LT(times.load(), sent.load() / 10) << times.load() << " of " << sent.load();
    EXPECT_GE(times.load(), 16);
    EXPECT_GT(kisses.load(), 0);
}

// A thousand clients at once, each answered.
TEST_F(TimeServers, AThousandTimeConnectionsAtOnceAreAnswered) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const rlim_t wanted = 4096;
    if (files.rlim_cur < wanted && files.rlim_max >= wanted) {
        files.rlim_cur = wanted;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 2200) GTEST_SKIP() << "too few descriptors allowed";
    constexpr int kClients = 1000;
    std::vector<pollfd> clients;
    const sockaddr_in to = loopback(37);
    for (int i = 0; i < kClients; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        (void)connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        clients.push_back(pollfd{fd, POLLIN, 0});
    }
    int answered = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (answered < kClients && std::chrono::steady_clock::now() < end) {
        if (poll(clients.data(), clients.size(), 1000) <= 0) continue;
        for (pollfd& p : clients) {
            if (p.fd < 0 || p.revents == 0) continue;
            uint8_t reply[8];
            if (recv(p.fd, reply, sizeof reply, 0) == 4) ++answered;
            close(p.fd);
            p.fd = -1;
        }
    }
    for (pollfd& p : clients) {
        if (p.fd >= 0) close(p.fd);
    }
    EXPECT_EQ(answered, kClients);
}

// Two thousand clients asking five times each, then the servers stop: the
// log counts the clients once each, and its lines and summary together
// tell of every request answered.
TEST_F(TimeServers, TheLogCountsEveryClientAndRequestByTheStop) {
    constexpr uint32_t kClients = 2000;
    const std::vector<uint8_t> request = clientRequest();
    int answered = 0;
    for (uint32_t i = 0; i < kClients && answered == 5 * static_cast<int>(i); ++i) {
        UdpClient client(INADDR_LOOPBACK, 0x7F010000u + ((i / 250) << 8) + 1 + i % 250);
        for (int r = 0; r < 5; ++r) {
            client.send(request);
            if (client.receive().size() == 48) ++answered;
        }
    }
    servers.stop();
    servers.join();
    const std::string text = log();
    uint64_t lines = 0;
    uint64_t summarised = 0;
    uint64_t clients = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(" : SNTP Server Tavreled ");
        if (at == std::string::npos) continue;
        unsigned long long requests = 0, from = 0;
        const std::string rest = line.substr(at + std::strlen(" : SNTP Server Tavreled "));
        if (std::sscanf(rest.c_str(), "%llu requests from %llu", &requests, &from) == 2 ||
            std::sscanf(rest.c_str(), "%llu requests from about %llu", &requests, &from) == 2) {
            summarised += requests;
            clients += from;
        } else {
            ++lines;
        }
    }
    EXPECT_EQ(answered, 5 * static_cast<int>(kClients));
    EXPECT_EQ(lines + summarised, static_cast<uint64_t>(answered)) << text;
    EXPECT_NEAR(static_cast<double>(clients), kClients, 0.05 * kClients) << text;
}

// CPU time the whole process has used so far.
std::chrono::microseconds processCpuTime() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto total = [](const timeval& t) { return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec); };
    return total(usage.ru_utime) + total(usage.ru_stime);
}

// With every descriptor taken and a TIME client waiting, the server pauses
// instead of trying to accept it over and over, says why once, and serves
// the client once descriptors free.
TEST_F(TimeServers, NoDescriptorsLeftCostsNoCpuAndServingResumes) {
    settings.logErrors.store(true);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(client, 0);
    // A low limit, so that filling it takes few descriptors.
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(client) + 16;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd = dup(client); fd >= 0; fd = dup(client)) fillers.push_back(fd);
    const sockaddr_in to = loopback(37);
    (void)connect(client, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    // Measured once the connection waits in the server's queue.
    pollfd queued{client, POLLOUT, 0};
    EXPECT_GT(poll(&queued, 1, 30000), 0);
    const auto cpuBefore = processCpuTime();
    const auto wallBefore = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const auto cpu = processCpuTime() - cpuBefore;
    const auto wall = std::chrono::steady_clock::now() - wallBefore;
    const bool said = lines.shows(kTimeAcceptError);
    for (const int fd : fillers) close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_TRUE(said) << "the shortage was not reported";
    EXPECT_LT(cpu * 20, wall) << "a starved server used " << cpu.count() << " us of CPU in "
                              << std::chrono::duration_cast<std::chrono::microseconds>(wall).count() << " us";
    // Descriptors free again: the waiting client is answered.
    pollfd p{client, POLLIN, 0};
    uint8_t reply[8];
    EXPECT_GT(poll(&p, 1, 30000), 0);
    EXPECT_EQ(recv(client, reply, sizeof reply, 0), 4);
    close(client);
    // The log tells of the shortage once (if it had a descriptor to write
    // it with) and of its end.
    EXPECT_TRUE(test::waitUntil([&] { return linesIn(log(), kTimeAcceptRecovered) == 1; })) << log();
    EXPECT_LE(linesIn(log(), kTimeAcceptError), 1u) << log();
}

// A DNS server that never answers holds up no answer: names are looked up
// beside the serving, and the log gives the address when no name comes in
// time.
TEST_F(TimeServers, ASilentDnsServerHoldsUpNoAnswer) {
    const int silent = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in dns = loopback(53);
    dns.sin_addr.s_addr = htonl(0x7F000035);
    ASSERT_EQ(bind(silent, reinterpret_cast<const sockaddr*>(&dns), sizeof dns), 0);
    test::writeFile(dir.file("resolv.conf"), "nameserver 127.0.0.53\noptions timeout:5 attempts:2\n");
    ASSERT_TRUE(test::placeFileOver(dir.file("resolv.conf"), "/etc/resolv.conf"));
    UdpClient stranger(INADDR_LOOPBACK, 0x7F000009);  // no name in /etc/hosts: asked of the DNS
    UdpClient client;
    for (UdpClient* c : {&stranger, &client, &stranger, &client}) {
        const auto asked = std::chrono::steady_clock::now();
        c->send(clientRequest());
        const std::vector<uint8_t> reply = c->receive(5000);
        const auto took = std::chrono::steady_clock::now() - asked;
        ASSERT_EQ(reply.size(), 48u);
        EXPECT_LT(took, std::chrono::milliseconds(1000));
        // Its timestamps are the time it came and went, not seconds later.
        const platform::FileTime sent = ntpToFileTime(readWord(reply, 40), readWord(reply, 44));
        const int64_t late = static_cast<int64_t>(platform::getSystemTimeAsFileTime()) - static_cast<int64_t>(sent);
        EXPECT_LT(std::llabs(late), 1'000'000) << late;  // 100 ms
    }
    EXPECT_TRUE(test::waitUntil([&] { return log().find("SNTP Server Tavreled 127.0.0.9\r\n") != std::string::npos; }));
    test::removeFileOver("/etc/resolv.conf");
    close(silent);
}

// Stands in for the system's time services while a test runs: the port's
// holder is looked up for real, but stopping and starting a service is
// only recorded, so no test ever touches the machine's services.
class RecordedTimeService {
public:
    explicit RecordedTimeService(std::function<platform::PortHolder(uint16_t)> holder = platform::udpPortHolder)
        : holder_(std::move(holder)) {}
    // Options for servers that use this stand-in.
    TimeServerOptions options(ServerStatusSink sink) {
        TimeServerOptions options;
        options.sink = std::move(sink);
        options.localTimeService.holder = holder_;
        options.localTimeService.stop = [this](const std::string& unit) { record("stop " + unit); };
        options.localTimeService.start = [this](const std::string& unit) { record("start " + unit); };
        return options;
    }
    std::vector<std::string> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    std::function<platform::PortHolder(uint16_t)> holder_;
    std::mutex mutex_;
    std::vector<std::string> calls_;
};

// The name the kernel gives this process.
std::string ownProgramName() {
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

std::string heldByUs() {
    return "SNTP Server Port Error; UDP port 123 is held by " + ownProgramName() + " (pid " +
           std::to_string(getpid()) + ").";
}

TEST(SntpPort, APortSharedWithAddressReuseIsNotTaken) {
    RecordedTimeService services;
    tavrel::TimeServers servers;
    // Another socket holds UDP 123 and lets others share it: the server
    // must not take it beside it (the later one would get every datagram).
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in any = loopback(123);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    StatusLines lines;
    servers.start(services.options(lines.sink()));
    EXPECT_TRUE(lines.shows(heldByUs()));
    EXPECT_TRUE(services.calls().empty());
    EXPECT_TRUE(test::waitUntil([&] { return servers.activity() == kTimeServerRunning; }));
    servers.stop();
    servers.join();
    EXPECT_EQ(servers.activity(), 0);
    close(holder);
}

TEST(SntpPort, TakenPortShowsTheError) {
    RecordedTimeService services;
    tavrel::TimeServers servers;
    // Another socket holds UDP 123 without address reuse.
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in sa = loopback(123);
    sockaddr_in any = sa;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    StatusLines lines;
    settings.timeServerEnabled.store(true);
    servers.start(services.options(lines.sink()));
    EXPECT_TRUE(lines.shows(heldByUs()));
    EXPECT_TRUE(services.calls().empty());
    EXPECT_TRUE(test::waitUntil([&] { return servers.activity() == kTimeServerRunning; }));
    servers.stop();
    servers.join();
    settings.timeServerEnabled.store(false);
    EXPECT_EQ(servers.activity(), 0);
    close(holder);
}

// A plain process holds UDP 123: no service is stopped, and the status
// line names the process.
TEST(SntpPort, APlainProcessHoldingThePortIsNamedAndLeftAlone) {
    RecordedTimeService services;
    tavrel::TimeServers servers;
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        close(release[1]);
        prctl(PR_SET_NAME, "port-holder");
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in any = loopback(123);
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        const char ok = bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0 ? 'y' : 'n';
        (void)write(ready[1], &ok, 1);
        char byte;
        while (read(release[0], &byte, 1) > 0) {
        }
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char bound = 0;
    pollfd p{ready[0], POLLIN, 0};
    const bool said = poll(&p, 1, 30000) > 0 && read(ready[0], &bound, 1) == 1;
    if (said && bound == 'y') {
        StatusLines lines;
        servers.start(services.options(lines.sink()));
        EXPECT_TRUE(lines.shows("SNTP Server Port Error; UDP port 123 is held by port-holder (pid " +
                                std::to_string(child) + ")."));
        EXPECT_TRUE(test::waitUntil([&] { return servers.activity() == kTimeServerRunning; }));
        servers.stop();
        servers.join();
    }
    close(release[1]);
    close(ready[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(bound, 'y') << "the holder could not bind UDP 123";
    EXPECT_TRUE(services.calls().empty());
}

// When the holder belongs to the system's time service, that service is
// stopped for the bind and started again after it.
TEST(SntpPort, ATimeServiceHoldingThePortIsStoppedAndStartedAgain) {
    RecordedTimeService services([](uint16_t) { return platform::PortHolder{4242, "chronyd", "chrony.service"}; });
    tavrel::TimeServers servers;
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any = loopback(123);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    StatusLines lines;
    servers.start(services.options(lines.sink()));
    // The stand-in service never lets go of the port: the server gives up.
    EXPECT_TRUE(lines.shows("SNTP Server Port Error; UDP port 123 is held by chronyd (pid 4242)."));
    servers.stop();
    servers.join();
    close(holder);
    EXPECT_EQ(services.calls(), (std::vector<std::string>{"stop chrony.service", "start chrony.service"}));
}

}  // namespace
}  // namespace tavrel
