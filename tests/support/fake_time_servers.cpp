#include "tests/support/fake_time_servers.h"

#include <arpa/inet.h>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavrel::test {
namespace {

constexpr uint32_t kUnixToNtp = 2'208'988'800u;

int boundSocket(int type, uint16_t port, uint32_t address) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || (type == SOCK_STREAM && listen(fd, 5) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Waits until fd is readable; false when asked to stop.
bool waitReadable(int fd, int stopFd, int timeoutMs = -1) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int n = poll(fds, 2, timeoutMs);
    return n > 0 && (fds[1].revents & POLLIN) == 0 && (fds[0].revents & POLLIN) != 0;
}

// Sleeps for ms unless asked to stop first.
bool pause(int stopFd, int ms) {
    pollfd fd{stopFd, POLLIN, 0};
    return poll(&fd, 1, ms) == 0;
}

void putWord(uint8_t* at, uint32_t v) {
    const uint32_t be = htonl(v);
    std::memcpy(at, &be, 4);
}

void ntpNow(int64_t offsetMs, uint32_t& seconds, uint32_t& fraction) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    int64_t ns = static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec + offsetMs * 1'000'000;
    seconds = static_cast<uint32_t>(ns / 1'000'000'000 + kUnixToNtp);
    fraction = static_cast<uint32_t>((static_cast<uint64_t>(ns % 1'000'000'000) << 32) / 1'000'000'000);
}

void stop(int stopFd, std::thread& thread, int fd) {
    if (stopFd >= 0) {
        const uint64_t one = 1;
        (void)!write(stopFd, &one, sizeof one);
    }
    if (thread.joinable()) thread.join();
    if (fd >= 0) close(fd);
    if (stopFd >= 0) close(stopFd);
}

}  // namespace

FakeTimeServer::FakeTimeServer(Reply reply, uint32_t seconds, int delayMs, Listen listen)
    : reply_(reply), seconds_(seconds), delayMs_(delayMs), listen_(std::move(listen)) {
    fd_ = boundSocket(SOCK_STREAM, 37, listen_.address);
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    if (fd_ >= 0) thread_ = std::thread(&FakeTimeServer::serve, this);
}

FakeTimeServer::~FakeTimeServer() { stop(stopFd_, thread_, fd_); }

void FakeTimeServer::serve() {
    while (waitReadable(fd_, stopFd_)) {
        const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        connections_.fetch_add(1);
        if (listen_.journal != nullptr) listen_.journal->add(listen_.label + "-TIME");
        uint32_t seconds = seconds_;
        if (seconds == 0) {
            uint32_t fraction = 0;
            ntpNow(0, seconds, fraction);
        }
        uint8_t bytes[4];
        putWord(bytes, seconds);
        switch (reply_) {
            case Reply::Correct: (void)!send(client, bytes, 4, MSG_NOSIGNAL); break;
            case Reply::InPieces:
                (void)!send(client, bytes, 2, MSG_NOSIGNAL);
                pause(stopFd_, 50);
                (void)!send(client, bytes + 2, 2, MSG_NOSIGNAL);
                break;
            case Reply::ShortThenClose: (void)!send(client, bytes, 3, MSG_NOSIGNAL); break;
            case Reply::Late:
                if (pause(stopFd_, delayMs_)) (void)!send(client, bytes, 4, MSG_NOSIGNAL);
                break;
            case Reply::Silent: {
                // Hold the connection open until the client goes or the test ends.
                char sink[16];
                while (waitReadable(client, stopFd_) && recv(client, sink, sizeof sink, 0) > 0) {
                }
                break;
            }
            default: break;
        }
        close(client);
    }
}

FakeSntpServer::FakeSntpServer(Reply reply, int64_t offsetMs, int delayMs, Listen listen)
    : reply_(reply), offsetMs_(offsetMs), delayMs_(delayMs), listen_(std::move(listen)) {
    fd_ = boundSocket(SOCK_DGRAM, 123, listen_.address);
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    if (fd_ >= 0) thread_ = std::thread(&FakeSntpServer::serve, this);
}

FakeSntpServer::~FakeSntpServer() { stop(stopFd_, thread_, fd_); }

std::vector<uint8_t> FakeSntpServer::lastRequest() {
    if (!haveRequest_.load()) return {};
    return std::vector<uint8_t>(request_, request_ + 48);
}

void FakeSntpServer::serve() {
    while (waitReadable(fd_, stopFd_)) {
        uint8_t packet[48] = {};
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const ssize_t n = recvfrom(fd_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&peer), &len);
        if (n <= 0) continue;
        if (!haveRequest_.load()) {
            std::memcpy(request_, packet, sizeof request_);
            haveRequest_.store(true);
        }
        requests_.fetch_add(1);
        if (listen_.journal != nullptr) listen_.journal->add(listen_.label + "-SNTP");
        if (reply_ == Reply::Silent) continue;
        if (reply_ == Reply::Late && !pause(stopFd_, delayMs_)) return;

        uint8_t reply[48] = {};
        reply[0] = 0x1C;  // version 3, server
        reply[1] = 2;     // stratum
        std::memcpy(reply + 24, packet + 40, 8);
        uint32_t s = 0, f = 0;
        ntpNow(offsetMs_, s, f);
        putWord(reply + 32, s);
        putWord(reply + 36, f);
        if (reply_ != Reply::ZeroTransmit) {
            ntpNow(offsetMs_, s, f);
            putWord(reply + 40, s);
            putWord(reply + 44, f);
        }
        const size_t size = reply_ == Reply::ShortThenClose ? 20 : sizeof reply;
        sendto(fd_, reply, size, 0, reinterpret_cast<sockaddr*>(&peer), len);
    }
}

}  // namespace tavrel::test
