#include "tests/support/path_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <queue>
#include <random>
#include <vector>

namespace tavrel::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kLargestPiece = 65536;
constexpr size_t kMostFlows = 1024;

sockaddr_in socketAddress(uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    return a;
}

void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// One thing held on its way: a datagram, a piece of a stream, or a
// stream's end (`close` with no data).
struct Held {
    Clock::time_point due;
    uint64_t order;  // ties keep their order
    int fd;          // where it leaves from
    sockaddr_in to;  // UDP: where it goes
    std::vector<uint8_t> data;
    bool close = false;
    bool operator>(const Held& other) const { return due != other.due ? due > other.due : order > other.order; }
};

// A UDP client's own way to the server.
struct Flow {
    int upstream = -1;
    sockaddr_in client{};
};

// A TCP connection's two sockets, and when each direction last let a piece
// go (a stream never reorders).
struct Connection {
    int client = -1;
    int server = -1;
    Clock::time_point lastOut{}, lastIn{};
    bool clientDone = false, serverDone = false;
};

}  // namespace

bool parseDuration(const std::string& text, std::chrono::microseconds& out) {
    size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (...) {
        return false;
    }
    const std::string unit = text.substr(used);
    double factor = 1;
    if (unit == "s") factor = 1e6;
    else if (unit == "ms") factor = 1e3;
    else if (unit == "us" || unit.empty()) factor = 1;
    else return false;
    if (!(value >= 0) || value * factor > 3.6e9) return false;
    out = std::chrono::microseconds(static_cast<int64_t>(value * factor + 0.5));
    return true;
}

PathRelay::PathRelay(RelayProtocol protocol, uint32_t listenAddress, uint16_t listenPort, uint32_t targetAddress,
                     uint16_t targetPort, const PathShape& shape)
    : protocol_(protocol), targetAddress_(targetAddress), targetPort_(targetPort), shape_(shape) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    const int type = protocol == RelayProtocol::Udp ? SOCK_DGRAM : SOCK_STREAM;
    listener_ = ::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener_ < 0) return;
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in at = socketAddress(listenAddress, listenPort);
    socklen_t length = sizeof at;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        (protocol == RelayProtocol::Tcp && ::listen(listener_, 64) != 0) ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
        closeQuietly(listener_);
        return;
    }
    port_ = ntohs(at.sin_port);
    thread_ = std::thread([this] { run(); });
}

PathRelay::~PathRelay() {
    stop();
    closeQuietly(listener_);
    closeQuietly(wake_[0]);
    closeQuietly(wake_[1]);
}

void PathRelay::stop() {
    if (stopping_.exchange(true)) return;
    if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
    if (thread_.joinable()) thread_.join();
}

RelayCounts PathRelay::counts() const {
    std::lock_guard lock(countsMutex_);
    return counts_;
}

void PathRelay::run() {
    std::mt19937_64 draws(shape_.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const Clock::time_point end = Clock::now() + shape_.lifetime;
    std::priority_queue<Held, std::vector<Held>, std::greater<>> held;
    uint64_t order = 0, pieces = 0;
    std::map<uint64_t, Flow> flows;                       // by client address and port
    std::vector<std::unique_ptr<Connection>> connections;  // TCP
    const sockaddr_in target = socketAddress(targetAddress_, targetPort_);

    // A piece's delay: its direction's base, moved by the jitter, never
    // below nothing; true when it is lost instead.
    auto delayFor = [&](bool outbound, std::chrono::microseconds& delay) {
        const double jitter = static_cast<double>(shape_.jitter.count()) * (2 * unit(draws) - 1);
        const double base = static_cast<double>((outbound ? shape_.outbound : shape_.inbound).count());
        delay = std::chrono::microseconds(static_cast<int64_t>(std::max(0.0, base + jitter)));
        return shape_.loss > 0 && unit(draws) < shape_.loss;
    };
    auto count = [&](bool outbound, bool lost) {
        std::lock_guard lock(countsMutex_);
        if (lost) {
            ++(outbound ? counts_.lostOutbound : counts_.lostInbound);
        } else {
            ++(outbound ? counts_.outbound : counts_.inbound);
        }
    };
    auto hold = [&](Held item) {
        if (held.size() >= shape_.maxHeld || pieces >= shape_.maxPieces) return false;
        ++pieces;
        item.order = order++;
        held.push(std::move(item));
        return true;
    };

    // A datagram in from a client or the server, held for its delay.
    auto takeDatagram = [&](int fd, bool outbound, const Flow* flow) {
        uint8_t buffer[kLargestPiece];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t got = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0) return;
        Held item;
        item.data.assign(buffer, buffer + got);
        if (outbound) {
            const uint64_t key = (static_cast<uint64_t>(ntohl(from.sin_addr.s_addr)) << 16) | ntohs(from.sin_port);
            auto it = flows.find(key);
            if (it == flows.end()) {
                if (flows.size() >= kMostFlows) return;
                Flow made;
                made.client = from;
                made.upstream = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
                if (made.upstream < 0) return;
                it = flows.emplace(key, made).first;
            }
            item.fd = it->second.upstream;
            item.to = target;
        } else {
            // Only the server's replies go back.
            if (from.sin_addr.s_addr != target.sin_addr.s_addr || from.sin_port != target.sin_port) return;
            item.fd = listener_;
            item.to = flow->client;
            if (shape_.alterInbound) shape_.alterInbound(item.data);
        }
        std::chrono::microseconds delay{};
        const bool lost = delayFor(outbound, delay);
        count(outbound, lost);
        if (lost) return;
        item.due = Clock::now() + delay;
        hold(std::move(item));
    };

    // A piece of a stream (or its end), passed on in order after its delay.
    auto takeStream = [&](Connection& c, bool outbound) {
        const int from = outbound ? c.client : c.server;
        uint8_t buffer[kLargestPiece];
        const ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
        Held item;
        item.fd = outbound ? c.server : c.client;
        if (got <= 0) {
            item.close = true;
            (outbound ? c.clientDone : c.serverDone) = true;
        } else {
            item.data.assign(buffer, buffer + got);
        }
        std::chrono::microseconds delay{};
        bool lost = delayFor(outbound, delay);
        if (item.close) lost = false;
        count(outbound, lost);
        Clock::time_point due = Clock::now() + delay;
        if (lost) due += shape_.retransmit;
        Clock::time_point& last = outbound ? c.lastOut : c.lastIn;
        due = std::max(due, last);
        last = due;
        item.due = due;
        hold(std::move(item));
    };

    while (!stopping_.load() && Clock::now() < end) {
        std::vector<pollfd> watched;
        watched.push_back(pollfd{wake_[0], POLLIN, 0});
        watched.push_back(pollfd{listener_, POLLIN, 0});
        std::vector<std::pair<int, void*>> owners;  // beside each watched descriptor after the first two
        for (auto& [key, flow] : flows) {
            watched.push_back(pollfd{flow.upstream, POLLIN, 0});
            owners.emplace_back(0, &flow);
        }
        for (auto& c : connections) {
            if (!c->clientDone) {
                watched.push_back(pollfd{c->client, POLLIN, 0});
                owners.emplace_back(1, c.get());
            }
            if (!c->serverDone) {
                watched.push_back(pollfd{c->server, POLLIN, 0});
                owners.emplace_back(2, c.get());
            }
        }
        Clock::time_point wakeAt = end;
        if (!held.empty()) wakeAt = std::min(wakeAt, held.top().due);
        const auto wait = std::max(Clock::duration::zero(), wakeAt - Clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timespec timeout{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        if (::ppoll(watched.data(), watched.size(), &timeout, nullptr) < 0 && errno != EINTR) break;

        if ((watched[1].revents & POLLIN) != 0) {
            if (protocol_ == RelayProtocol::Udp) {
                takeDatagram(listener_, true, nullptr);
            } else {
                const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (client >= 0 && connections.size() < kMostFlows) {
                    auto c = std::make_unique<Connection>();
                    c->client = client;
                    c->server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                    if (c->server >= 0 &&
                        ::connect(c->server, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0 &&
                        ::fcntl(c->server, F_SETFL, O_NONBLOCK) == 0) {
                        connections.push_back(std::move(c));
                    } else {
                        closeQuietly(c->server);
                        ::close(client);
                    }
                } else if (client >= 0) {
                    ::close(client);
                }
            }
        }
        for (size_t i = 2; i < watched.size(); ++i) {
            if ((watched[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const auto& [kind, owner] = owners[i - 2];
            if (kind == 0) {
                takeDatagram(watched[i].fd, false, static_cast<Flow*>(owner));
            } else {
                takeStream(*static_cast<Connection*>(owner), kind == 1);
            }
        }
        // What is due leaves.
        while (!held.empty() && held.top().due <= Clock::now()) {
            const Held& item = held.top();
            if (protocol_ == RelayProtocol::Udp) {
                (void)::sendto(item.fd, item.data.data(), item.data.size(), 0,
                               reinterpret_cast<const sockaddr*>(&item.to), sizeof item.to);
            } else if (item.close) {
                ::shutdown(item.fd, SHUT_WR);
            } else {
                // Loopback takes a small piece whole; a stalled peer loses
                // the rest, as a relay that must not block would.
                size_t sent = 0;
                while (sent < item.data.size()) {
                    const ssize_t n = ::send(item.fd, item.data.data() + sent, item.data.size() - sent, MSG_NOSIGNAL);
                    if (n <= 0) break;
                    sent += static_cast<size_t>(n);
                }
            }
            held.pop();
        }
        // Connections both of whose sides have ended, with nothing held.
        std::erase_if(connections, [&](const std::unique_ptr<Connection>& c) {
            if (!c->clientDone || !c->serverDone || !held.empty()) return false;
            ::close(c->client);
            ::close(c->server);
            return true;
        });
    }
    for (auto& [key, flow] : flows) ::close(flow.upstream);
    for (auto& c : connections) {
        ::close(c->client);
        ::close(c->server);
    }
}

}  // namespace tavrel::test
