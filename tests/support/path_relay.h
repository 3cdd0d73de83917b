// A network path like the internet's, on loopback, for tests and
// benchmarks (this machine's kernel has no netem): a relay that listens on
// one address and forwards to a server, holding what passes for a delay of
// its own in each direction (a base, plus jitter drawn evenly within
// plus or minus `jitter`), losing a share of the datagrams, and so letting
// a later datagram overtake an earlier one where the jitter allows.
//
// UDP: every client (address and port) gets a socket of its own towards
// the server, so that the replies find their way back. TCP: each accepted
// connection gets one to the server, and what each side sends is passed on
// in order, each piece after its delay; a lost piece costs a
// retransmission's wait (`retransmit`) instead of being dropped, as on TCP.
//
// Bounded like every load here: it passes at most `maxPieces` datagrams or
// stream pieces, holds at most `maxHeld` at a time (more are lost), and
// stops after `lifetime`.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrel::test {

struct PathShape {
    std::chrono::microseconds outbound{0};  // client to server
    std::chrono::microseconds inbound{0};   // server to client
    std::chrono::microseconds jitter{0};    // each delay is moved by up to this, either way
    double loss = 0;                        // the share of datagrams (or pieces) lost, 0 to 1
    std::chrono::milliseconds retransmit{200};  // TCP: what a lost piece costs
    uint64_t seed = 1;                      // the draws repeat for one seed
    uint64_t maxPieces = 1'000'000;
    size_t maxHeld = 4096;
    std::chrono::seconds lifetime{600};
    // UDP: called with each datagram from the server before it is held, on
    // the relay's thread; a test alters or replaces it (a flipped bit, an
    // earlier reply replayed).
    std::function<void(std::vector<uint8_t>&)> alterInbound;
};

enum class RelayProtocol { Udp, Tcp };

// What went through, counted by direction.
struct RelayCounts {
    uint64_t outbound = 0, inbound = 0;           // passed on
    uint64_t lostOutbound = 0, lostInbound = 0;   // lost (UDP) or held for a retransmission (TCP)
};

class PathRelay {
public:
    // Listens on `listenAddress` (an IPv4 loopback address, host order) at
    // `listenPort` (0: any free port) and forwards to the target. Starts at
    // once; `ok()` says whether it could.
    PathRelay(RelayProtocol protocol, uint32_t listenAddress, uint16_t listenPort, uint32_t targetAddress,
              uint16_t targetPort, const PathShape& shape);
    ~PathRelay();
    PathRelay(const PathRelay&) = delete;
    PathRelay& operator=(const PathRelay&) = delete;

    bool ok() const { return listener_ >= 0; }
    uint16_t port() const { return port_; }
    RelayCounts counts() const;
    // Stops forwarding; what is still held is dropped.
    void stop();

private:
    void run();

    RelayProtocol protocol_;
    uint32_t targetAddress_;
    uint16_t targetPort_;
    PathShape shape_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex countsMutex_;
    RelayCounts counts_;
    std::thread thread_;
};

// Parses "30ms", "250us", "2s" or a bare number of microseconds; false for
// anything else.
bool parseDuration(const std::string& text, std::chrono::microseconds& out);

}  // namespace tavrel::test
