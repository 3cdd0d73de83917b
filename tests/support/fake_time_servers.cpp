#include "tests/support/fake_time_servers.h"

#include <chrono>
#include <cstring>

namespace tavrel::test {
namespace {

constexpr uint32_t kUnixToNtp = 2'208'988'800u;

std::shared_ptr<platform::Socket> boundSocket(platform::SocketKind kind, uint16_t port, const Listen& listen) {
    std::shared_ptr<platform::Socket> s =
        platform::Socket::create(kind, listen.ipv6Loopback ? platform::AddressFamily::V6 : platform::AddressFamily::V4);
    if (s == nullptr) return nullptr;
    (void)s->setReuseAddress();
    platform::NetAddress at = platform::NetAddress::v4(listen.address, port);
    if (listen.ipv6Loopback) {
        at = platform::NetAddress::any(platform::AddressFamily::V6, port);
        at.bytes[15] = 1;  // ::1
    }
    if (!s->bind(at) || (kind == platform::SocketKind::Tcp && !s->listen(5))) return nullptr;
    return s;
}

// Sleeps for ms unless asked to stop first; false when asked to stop.
bool pause(platform::ManualResetEvent& stop, int ms) { return !stop.wait(static_cast<uint32_t>(ms)); }

void putWord(uint8_t* at, uint32_t v) {
    at[0] = static_cast<uint8_t>(v >> 24);
    at[1] = static_cast<uint8_t>(v >> 16);
    at[2] = static_cast<uint8_t>(v >> 8);
    at[3] = static_cast<uint8_t>(v);
}

void ntpNow(int64_t offsetMs, uint32_t& seconds, uint32_t& fraction) {
    const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() + offsetMs * 1'000'000;
    seconds = static_cast<uint32_t>(ns / 1'000'000'000 + kUnixToNtp);
    fraction = static_cast<uint32_t>((static_cast<uint64_t>(ns % 1'000'000'000) << 32) / 1'000'000'000);
}

}  // namespace

FakeTimeServer::FakeTimeServer(Reply reply, uint32_t seconds, int delayMs, Listen listen)
    : reply_(reply), seconds_(seconds), delayMs_(delayMs), listen_(std::move(listen)) {
    socket_ = boundSocket(platform::SocketKind::Tcp, 37, listen_);
    if (socket_ != nullptr) thread_ = std::thread(&FakeTimeServer::serve, this);
}

FakeTimeServer::~FakeTimeServer() {
    stop_.set();
    if (socket_ != nullptr) socket_->close();  // wakes accept
    {
        std::lock_guard lock(clientMutex_);
        if (client_ != nullptr) client_->close();  // wakes a silent answer's wait
    }
    if (thread_.joinable()) thread_.join();
}

void FakeTimeServer::serve() {
    while (!stop_.isSet()) {
        std::shared_ptr<platform::Socket> client = socket_->accept();
        if (client == nullptr) {
            if (stop_.isSet()) return;
            continue;
        }
        {
            std::lock_guard lock(clientMutex_);
            client_ = client;
        }
        if (stop_.isSet()) client->close();
        answer(*client);
        std::lock_guard lock(clientMutex_);
        client_.reset();
    }
}

void FakeTimeServer::answer(platform::Socket& client) {
    connections_.fetch_add(1);
    if (listen_.journal != nullptr) listen_.journal->add(listen_.label + "-TIME");
    if (reply_ == Reply::AtPhase) {
        // Into the second by delayMs: the reply's whole second is then that
        // much behind the true time.
        for (;;) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch()).count() % 1000;
            if (ms >= delayMs_ && ms < delayMs_ + 50) break;
            if (!pause(stop_, 1)) return;
        }
    }
    uint32_t seconds = seconds_;
    if (seconds == 0) {
        uint32_t fraction = 0;
        ntpNow(0, seconds, fraction);
    }
    uint8_t bytes[4];
    putWord(bytes, seconds);
    switch (reply_) {
        case Reply::Correct:
        case Reply::AtPhase: (void)client.send(bytes, 4); break;
        case Reply::InPieces:
            (void)client.send(bytes, 2);
            pause(stop_, 50);
            (void)client.send(bytes + 2, 2);
            break;
        case Reply::ShortThenClose: (void)client.send(bytes, 3); break;
        case Reply::Late:
            if (pause(stop_, delayMs_)) (void)client.send(bytes, 4);
            break;
        case Reply::Silent: {
            // Hold the connection open until the client goes or the test ends.
            char sink[16];
            while (client.receive(sink, sizeof sink) > 0) {
            }
            break;
        }
        default: break;
    }
    client.close();
}

FakeSntpServer::FakeSntpServer(Reply reply, int64_t offsetMs, int delayMs, Listen listen)
    : reply_(reply), offsetMs_(offsetMs), delayMs_(delayMs), listen_(std::move(listen)) {
    socket_ = boundSocket(platform::SocketKind::Udp, 123, listen_);
    if (socket_ != nullptr) thread_ = std::thread(&FakeSntpServer::serve, this);
}

FakeSntpServer::~FakeSntpServer() {
    stop_.set();
    if (socket_ != nullptr) socket_->close();
    if (thread_.joinable()) thread_.join();
}

std::vector<uint8_t> FakeSntpServer::lastRequest() {
    if (!haveRequest_.load()) return {};
    return std::vector<uint8_t>(request_, request_ + 48);
}

void FakeSntpServer::serve() {
    while (!stop_.isSet()) {
        uint8_t packet[48] = {};
        platform::NetAddress peer;
        const long n = socket_->receiveFrom(packet, sizeof packet, peer);
        if (n < 0 && stop_.isSet()) return;
        if (n <= 0) continue;
        if (!haveRequest_.load()) {
            std::memcpy(request_, packet, sizeof request_);
            haveRequest_.store(true);
        }
        requests_.fetch_add(1);
        if (listen_.journal != nullptr) listen_.journal->add(listen_.label + "-SNTP");
        if (reply_ == Reply::Silent) continue;
        if (reply_ == Reply::Late && !pause(stop_, delayMs_)) return;
        if (reply_ == Reply::LateFirst && requests_.load() <= 2 && !pause(stop_, delayMs_)) return;

        uint8_t reply[48] = {};
        reply[0] = reply_ == Reply::Unsynchronised ? 0xDC : 0x1C;  // leap indicator 3 or 0, version 3, server
        const bool kiss = reply_ == Reply::KissOfDeath || reply_ == Reply::KissDeny;
        reply[1] = kiss ? 0 : 2;  // stratum
        if (kiss) std::memcpy(reply + 12, reply_ == Reply::KissDeny ? "DENY" : "RATE", 4);
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
        (void)socket_->sendTo(reply, size, peer);
    }
}

}  // namespace tavrel::test
