// Scripted TIME (TCP 37) and SNTP (UDP 123) servers on 127.0.0.1 for the
// query tests; on Linux they run in the tests' private network namespace.
// Built on the program's own socket layer, so they serve on every system.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/thread.h"

namespace tavrel::test {

enum class Reply {
    Correct,       // the whole reply at once
    InPieces,      // TIME: 2 + 2 bytes
    ShortThenClose,// TIME: 3 bytes then close; SNTP: a 20-byte datagram
    CloseAtOnce,   // TIME: close without data
    Silent,        // accept or receive, then never answer
    ZeroTransmit,  // SNTP: 48 bytes with no transmit timestamp
    Late,          // answer correctly after `delayMs`
    Unsynchronised,// SNTP: leap indicator 3 (the server's clock is not synchronised)
    KissOfDeath,   // SNTP: stratum 0, code RATE
    KissDeny,      // SNTP: stratum 0, code DENY
    KissRestrict,  // SNTP: stratum 0, code RSTR
    KissUnknown,   // SNTP: stratum 0, a code no client knows ("BUSY")
    AtPhase,       // TIME: waits until the clock is `delayMs` into a second, then sends that second
    LateFirst,     // SNTP: the first two replies after `delayMs` (taken then, as a queue on the way
                   // out would hold them), the rest at once
    HeldFirst,     // SNTP: the first two replies stamped at once and sent `delayMs` later (as a
                   // queue on the way back would hold them), the rest at once
    Forged,        // SNTP: before each true reply, forgeries `offsetMs` + 1800 s off: wrong, zero and
                   // random originates, modes 1, 2, 3, 5, 6, versions 0 and 7 (these with the right
                   // originate), the last genuine reply replayed 600 s older, and a DENY kiss
                   // that answers nothing
    ForgedOnly,    // SNTP: the forgeries of Forged and no true reply
    OneFarOff,     // SNTP: the second reply 1000 s off, the others true
    EachFarOff,    // SNTP: the n-th reply n x 1000 s off
    OwnReference,  // SNTP: true, but its reference identifier is 127.0.0.1 (its source is the asker)
    TooLong,       // TIME: the four bytes, then 1 MiB more
    Trickle,       // TIME: one byte every `delayMs`
    ReceiveEarly,  // SNTP: true, but its receive timestamp 900 ms before its transmit timestamp
    LeapInsert,    // SNTP: true, with leap indicator 1 (a second to be inserted at the day's end)
};

// A shared record of which server was asked, in order ("A-TIME", ...).
class Journal {
public:
    void add(const std::string& entry) {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
    }
    std::vector<std::string> entries() {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    // The entries with repeats in a row told once, with how many at most
    // came in a row: the servers asked in order, and the most requests one
    // was sent at a time.
    std::vector<std::string> runs(size_t* longest = nullptr) {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        size_t run = 0;
        if (longest) *longest = 0;
        for (const std::string& entry : entries_) {
            run = !out.empty() && out.back() == entry ? run + 1 : 1;
            if (run == 1) out.push_back(entry);
            if (longest && run > *longest) *longest = run;
        }
        return out;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> entries_;
};

struct Listen {
    uint32_t address = 0x7F000001;  // host order
    Journal* journal = nullptr;
    std::string label;
    bool ipv6Loopback = false;  // on ::1 instead of `address`
};
// Listening on another loopback address, nothing else changed.
inline Listen listenAt(uint32_t address) {
    Listen listen;
    listen.address = address;
    return listen;
}

class FakeTimeServer {
public:
    // Serves wire seconds `seconds` (or, with 0, the real time now).
    explicit FakeTimeServer(Reply reply, uint32_t seconds = 0, int delayMs = 0, Listen listen = {});
    ~FakeTimeServer();
    bool listening() const { return socket_ != nullptr; }
    int connections() const { return connections_.load(); }

private:
    void serve();
    void answer(platform::Socket& client);
    Reply reply_;
    uint32_t seconds_;
    int delayMs_;
    Listen listen_;
    std::shared_ptr<platform::Socket> socket_;
    std::mutex clientMutex_;
    std::shared_ptr<platform::Socket> client_;  // the connection being answered
    platform::ManualResetEvent stop_;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

class FakeSntpServer {
public:
    // Answers with the real time shifted by offsetMs.
    explicit FakeSntpServer(Reply reply, int64_t offsetMs = 0, int delayMs = 0, Listen listen = {});
    ~FakeSntpServer();
    bool listening() const { return socket_ != nullptr; }
    int requests() const { return requests_.load(); }
    // The first request's bytes, and the latest's.
    std::vector<uint8_t> firstRequest();
    std::vector<uint8_t> lastRequest();

private:
    void serve();
    // The forgeries of Reply::Forged for a request, sent to `peer`.
    void forge(const uint8_t (&request)[48], const platform::NetAddress& peer);
    Reply reply_;
    int64_t offsetMs_;
    uint8_t lastGenuine_[48] = {};  // the serving thread's alone
    bool haveGenuine_ = false;
    int delayMs_;
    Listen listen_;
    std::shared_ptr<platform::Socket> socket_;
    platform::ManualResetEvent stop_;
    std::atomic<int> requests_{0};
    std::mutex requestMutex_;
    std::vector<uint8_t> firstRequest_, lastRequest_;
    std::thread thread_;
};

}  // namespace tavrel::test
