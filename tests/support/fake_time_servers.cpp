#include "tests/support/fake_time_servers.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

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

uint32_t readWordAt(const uint8_t* at) {
    return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
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
        case Reply::TooLong: {
            (void)client.send(bytes, 4);
            const std::vector<uint8_t> more(1 << 20, 0x55);
            (void)client.send(more.data(), more.size());
            break;
        }
        case Reply::Trickle:
            for (int i = 0; i < 4 && pause(stop_, i == 0 ? 0 : delayMs_); ++i) (void)client.send(bytes + i, 1);
            break;
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

std::vector<uint8_t> FakeSntpServer::firstRequest() {
    std::lock_guard lock(requestMutex_);
    return firstRequest_;
}

std::vector<uint8_t> FakeSntpServer::lastRequest() {
    std::lock_guard lock(requestMutex_);
    return lastRequest_;
}

void FakeSntpServer::serve() {
    while (!stop_.isSet()) {
        uint8_t packet[48] = {};
        platform::NetAddress peer;
        const long n = socket_->receiveFrom(packet, sizeof packet, peer);
        if (n < 0 && stop_.isSet()) return;
        if (n <= 0) continue;
        {
            std::lock_guard lock(requestMutex_);
            lastRequest_.assign(packet, packet + sizeof packet);
            if (firstRequest_.empty()) firstRequest_ = lastRequest_;
        }
        requests_.fetch_add(1);
        if (listen_.journal != nullptr) listen_.journal->add(listen_.label + "-SNTP");
        if (reply_ == Reply::Silent) continue;
        if (reply_ == Reply::Forged || reply_ == Reply::ForgedOnly) forge(packet, peer);
        if (reply_ == Reply::ForgedOnly) continue;
        if (reply_ == Reply::Late && !pause(stop_, delayMs_)) return;
        if (reply_ == Reply::LateFirst && requests_.load() <= 2 && !pause(stop_, delayMs_)) return;

        int64_t offsetMs = offsetMs_;
        if (reply_ == Reply::OneFarOff && requests_.load() == 2) offsetMs += 1'000'000;
        if (reply_ == Reply::EachFarOff) offsetMs += 1'000'000 * int64_t{requests_.load()};
        uint8_t reply[48] = {};
        // Leap indicator 3, 1 or 0, version 3, server.
        reply[0] = reply_ == Reply::Unsynchronised ? 0xDC : reply_ == Reply::LeapInsert ? 0x5C : 0x1C;
        const char* kiss = reply_ == Reply::KissOfDeath    ? "RATE"
                           : reply_ == Reply::KissDeny     ? "DENY"
                           : reply_ == Reply::KissRestrict ? "RSTR"
                           : reply_ == Reply::KissUnknown  ? "BUSY"
                                                           : nullptr;
        reply[1] = kiss != nullptr ? 0 : 2;  // stratum
        if (kiss != nullptr) std::memcpy(reply + 12, kiss, 4);
        if (reply_ == Reply::OwnReference) putWord(reply + 12, 0x7F000001);
        std::memcpy(reply + 24, packet + 40, 8);
        uint32_t s = 0, f = 0;
        ntpNow(reply_ == Reply::ReceiveEarly ? offsetMs - 900 : offsetMs, s, f);
        putWord(reply + 32, s);
        putWord(reply + 36, f);
        if (reply_ != Reply::ZeroTransmit) {
            ntpNow(offsetMs, s, f);
            putWord(reply + 40, s);
            putWord(reply + 44, f);
        }
        if (reply_ == Reply::HeldFirst && requests_.load() <= 2 && !pause(stop_, delayMs_)) return;
        const size_t size = reply_ == Reply::ShortThenClose ? 20 : sizeof reply;
        (void)socket_->sendTo(reply, size, peer);
        std::memcpy(lastGenuine_, reply, sizeof reply);
        haveGenuine_ = true;
    }
}

void FakeSntpServer::forge(const uint8_t (&request)[48], const platform::NetAddress& peer) {
    // A genuine-looking reply 1800 s ahead, with the request's originate.
    uint8_t good[48] = {};
    good[0] = 0x24;  // version 4, server
    good[1] = 2;
    std::memcpy(good + 24, request + 40, 8);
    uint32_t s = 0, f = 0;
    ntpNow(offsetMs_ + 1'800'000, s, f);
    putWord(good + 32, s);
    putWord(good + 36, f);
    putWord(good + 40, s);
    putWord(good + 44, f);
    auto send = [&](const uint8_t* bytes) { (void)socket_->sendTo(bytes, 48, peer); };
    uint8_t forged[48];
    std::memcpy(forged, good, 48);
    forged[31] ^= 1;  // the originate one bit off
    send(forged);
    std::memcpy(forged, good, 48);
    std::memset(forged + 24, 0, 8);  // no originate
    send(forged);
    std::memcpy(forged, good, 48);
    for (int i = 24; i < 32; ++i) forged[i] = static_cast<uint8_t>(std::rand());  // a guess
    send(forged);
    for (const int mode : {1, 2, 3, 5, 6}) {
        std::memcpy(forged, good, 48);
        forged[0] = static_cast<uint8_t>(0x20 | mode);
        send(forged);
    }
    for (const int version : {0, 7}) {
        std::memcpy(forged, good, 48);
        forged[0] = static_cast<uint8_t>((version << 3) | 4);
        send(forged);
    }
    if (haveGenuine_) {
        // An earlier genuine reply, as recorded ten minutes before.
        std::memcpy(forged, lastGenuine_, 48);
        putWord(forged + 32, readWordAt(forged + 32) - 600);
        putWord(forged + 40, readWordAt(forged + 40) - 600);
        send(forged);
    }
    std::memcpy(forged, good, 48);
    forged[0] = 0xE4;
    forged[1] = 0;
    std::memcpy(forged + 12, "DENY", 4);
    forged[24] ^= 0x80;
    send(forged);
}

}  // namespace tavrel::test
