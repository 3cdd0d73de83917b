#include "timeservice/time_servers.h"

#include <array>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "platform/time.h"
#include "platform/time_service.h"
#include "protocol/server_replies.h"
#include "storage/string_slots.h"
#include "storage/strings.h"
#include "timeservice/client_reports.h"

namespace tavrel {

std::atomic<int32_t> serverActivity{0};

namespace {

// Requests taken and answered in one go.
constexpr int kBatch = 32;
// A TIME port that cannot be had is tried again this often.
constexpr uint32_t kRetryPauseMs = 1000;
// How long a stopped local time service is given to let go of the port.
constexpr uint32_t kPortFreeWaitMs = 5000;
constexpr uint32_t kPortFreeStepMs = 100;
constexpr uint32_t kServiceRestartWaitMs = 2000;
// Pieces of one request from one sender are joined when they come this
// close together; a sender's piece waits no longer.
constexpr uint64_t kJoinWithinMs = 500;
constexpr size_t kMostPartials = 16;
constexpr char kTimePortError[] = "TIME Server Port Error; another program holds TCP port 37, or the right to it is missing.";
// When connections wait but cannot be taken, the server pauses this long
// before it tries again, doubling up to the longest pause; the first try
// after descriptors free serves them.
constexpr uint32_t kAcceptPauseFirstMs = 10;
constexpr uint32_t kAcceptPauseMostMs = 500;

// The two server threads, their sockets (published so that a stop can
// close them under a blocked call) and what they report to. Process-wide:
// one pair of servers per process, as there is one pair of ports 37 and 123
// per machine, started and stopped by the window, the Options sheet and the service.
std::mutex threadMutex;  // start and join
std::thread timeThread;
std::thread sntpThread;
// The same servers on IPv6, beside the IPv4 ones; they serve where the
// system has IPv6 and the ports are free, and are quietly absent otherwise.
std::thread timeThread6;
std::thread sntpThread6;
// Set once the IPv4 SNTP server has tried its port (and stopped a local
// NTP daemon holding it, if it had to): the IPv6 one binds after that.
platform::ManualResetEvent sntpPortTried;
std::atomic<bool> stopRequested{false};
platform::ManualResetEvent stopSignal;
std::mutex socketMutex;  // the sockets
std::shared_ptr<platform::Socket> timeSocket;
std::shared_ptr<platform::Socket> sntpSocket;
std::shared_ptr<platform::Socket> timeSocket6;
std::shared_ptr<platform::Socket> sntpSocket6;
ClientReports reports;
LocalTimeServiceControl localTimeService;  // set while the servers are stopped

bool serving() { return !stopRequested.load(); }

// Publishes a server's socket; one published after the stop is closed at once.
void publish(std::shared_ptr<platform::Socket>& slot, std::shared_ptr<platform::Socket> socket) {
    std::lock_guard lock(socketMutex);
    if (socket && stopRequested.load()) socket->close();
    slot = std::move(socket);
}

void timeServerThread(platform::AddressFamily family) {
    const bool v6 = family == platform::AddressFamily::V6;
    platform::raiseThreadPriority();
    const platform::SocketLibraryUse library;
    std::shared_ptr<platform::Socket> listener;
    if (library.ready()) listener = platform::Socket::create(platform::SocketKind::Tcp, family);
    if (!listener) {
        if (!v6) reports.problem(kTimePortError);
        return;
    }
    std::shared_ptr<platform::Socket>& slot = v6 ? timeSocket6 : timeSocket;
    publish(slot, listener);
    // Address reuse lets a restart bind while old connections linger in
    // TIME_WAIT; it never lets two listeners share the port.
    (void)listener->setReuseAddress();
    (void)listener->setExclusiveAddress();
    bool reported = false;
    while (serving() && !(listener->bind(platform::NetAddress::any(family, kTimePort)) &&
                          listener->listen(platform::Socket::kSystemBacklog))) {
        if (v6) {
            // No IPv6 here, or its port is taken: IPv4 serves alone.
            publish(slot, nullptr);
            return;
        }
        // Port taken or no right to it: say so once, and try again now and then.
        if (!reported) reports.problem(kTimePortError);
        reported = true;
        (void)stopSignal.wait(kRetryPauseMs);
    }
    if (serving() && !v6) serverActivity.fetch_or(kTimeServerRunning);
    std::array<platform::Connection, kBatch> connections;
    std::array<platform::NetAddress, kBatch> clients;
    uint32_t acceptPause = 0;  // 0 while connections are taken
    while (serving()) {
        const int taken = listener->acceptConnections(connections.data(), kBatch);
        if (taken < 0) break;
        if (taken == 0) {
            // Clients wait but no descriptor is to be had: trying at once
            // would keep a core busy for nothing. Said once a shortage.
            if (acceptPause == 0) {
                if (!v6) reports.problem(kTimeAcceptError);
                acceptPause = kAcceptPauseFirstMs;
            } else if (acceptPause < kAcceptPauseMostMs) {
                acceptPause = acceptPause * 2 < kAcceptPauseMostMs ? acceptPause * 2 : kAcceptPauseMostMs;
            }
            (void)stopSignal.wait(acceptPause);
            continue;
        }
        if (acceptPause != 0 && !v6) reports.problem(kTimeAcceptRecovered);
        acceptPause = 0;
        uint8_t reply[kTimeReplySize];
        buildTimeReply(platform::getSystemTimeAsFileTime(), reply);
        for (int i = 0; i < taken; ++i) {
            platform::Socket::answerAndClose(connections[static_cast<size_t>(i)], reply, sizeof reply);
            clients[static_cast<size_t>(i)] = connections[static_cast<size_t>(i)].peer;
        }
        reports.served(ServedBy::Time, clients.data(), taken);
    }
    publish(slot, nullptr);
    // The port is free once the thread counts as stopped.
    listener.reset();
    if (!v6) serverActivity.fetch_and(~kTimeServerRunning);
}

// Requests that came in pieces: the first bytes a sender sent, waiting for
// the rest from the same address and port.
class Partials {
public:
    // Adds a piece; true when it completed a request, then in `request`.
    bool join(const platform::Datagram& piece, uint64_t now, uint8_t (&request)[kSntpPacketSize]) {
        Partial* slot = nullptr;
        for (Partial& p : partials_) {
            if (p.used && p.sender == piece.peer && now - p.at <= kJoinWithinMs) slot = &p;
        }
        if (slot == nullptr) {
            // A new sender's first piece: the stalest entry makes room.
            slot = &partials_.front();
            for (Partial& p : partials_) {
                if (!p.used || p.at < slot->at) slot = &p;
            }
            *slot = Partial{true, piece.peer, now, {}, 0};
        }
        const size_t room = kSntpPacketSize - slot->size;
        const size_t take = piece.size < room ? piece.size : room;
        std::copy(piece.bytes, piece.bytes + take, slot->bytes + slot->size);
        slot->size += take;
        slot->at = now;
        if (slot->size < kSntpPacketSize) return false;
        std::copy(slot->bytes, slot->bytes + kSntpPacketSize, request);
        slot->used = false;
        return true;
    }

private:
    struct Partial {
        bool used = false;
        platform::NetAddress sender;
        uint64_t at = 0;
        uint8_t bytes[kSntpPacketSize] = {};
        size_t size = 0;
    };
    std::array<Partial, kMostPartials> partials_;
};

// Binds UDP 123 alone. When it is taken and a local time service of the
// system's is what holds it, that service is stopped for the bind and
// started again after it (it then runs without the port); its name comes
// back in `stopped`, to give the port back when the server ends. A port
// held by anything else is left alone, and its holder named in `trouble`.
bool bindSntpPort(platform::Socket& socket, std::string& stopped, std::string& trouble) {
    const platform::NetAddress port = platform::NetAddress::any(platform::AddressFamily::V4, kSntpPort);
    if (socket.bind(port)) return true;
    const platform::PortHolder holder = localTimeService.holder ? localTimeService.holder(kSntpPort) : platform::PortHolder{};
    trouble = sntpPortErrorText(holder);
    const std::string& service = holder.service;
    if (service.empty()) return false;
    localTimeService.stop(service);
    bool bound = false;
    for (uint32_t waited = 0; !bound && waited < kPortFreeWaitMs && serving(); waited += kPortFreeStepMs) {
        (void)stopSignal.wait(kPortFreeStepMs);
        bound = socket.bind(port);
    }
    localTimeService.start(service);
    if (bound) stopped = service;
    return bound;
}

void sntpServerThread(platform::AddressFamily family) {
    const bool v6 = family == platform::AddressFamily::V6;
    // Above normal, as the queries: the times in a reply are taken promptly.
    platform::raiseThreadPriority();
    const platform::SocketLibraryUse library;
    std::shared_ptr<platform::Socket> socket;
    std::string stoppedService;
    std::string trouble = sntpPortErrorText(platform::PortHolder{});
    bool ready = false;
    if (v6) {
        // After the IPv4 server has its port (a local NTP daemon holding
        // both is stopped by then).
        while (serving() && !sntpPortTried.wait(kRetryPauseMs)) {
        }
        if (library.ready()) socket = platform::Socket::create(platform::SocketKind::Udp, family);
        ready = serving() && socket && socket->setExclusiveAddress() &&
                socket->bind(platform::NetAddress::any(family, kSntpPort)) && socket->enableDestinationAddress();
    } else {
        if (library.ready()) socket = platform::Socket::create(platform::SocketKind::Udp, family);
        ready = socket && socket->setExclusiveAddress() && bindSntpPort(*socket, stoppedService, trouble) &&
                socket->enableDestinationAddress();
        sntpPortTried.set();
    }
    std::shared_ptr<platform::Socket>& slot = v6 ? sntpSocket6 : sntpSocket;
    if (!ready) {
        // No IPv6 here, or its port is taken: IPv4 serves alone.
        if (!v6) reports.problem(trouble);
    } else {
        publish(slot, socket);
        socket->enableBlockingBatches();
        if (!v6) serverActivity.fetch_or(kSntpServerRunning);
        std::array<platform::Datagram, kBatch> received;
        std::array<platform::Datagram, kBatch> replies;
        std::array<platform::NetAddress, kBatch> clients;
        Partials partials;
        int n = 0;
        while (serving()) {
            // One request at a time: wait before trying; under load, try first.
            n = socket->receiveDatagrams(received.data(), kBatch, n <= 1);
            if (n < 0) break;
            // The time the requests came, taken as they are taken.
            const platform::FileTime arrived = platform::getSystemTimeAsFileTime();
            const uint64_t now = platform::getTickCount64();
            int answering = 0;
            for (int i = 0; i < n; ++i) {
                const platform::Datagram& d = received[static_cast<size_t>(i)];
                platform::Datagram& reply = replies[static_cast<size_t>(answering)];
                uint8_t request[kSntpPacketSize] = {};
                if (d.size >= kSntpPacketSize) {
                    // A longer datagram (extension fields) is read from its first bytes.
                    std::copy(d.bytes, d.bytes + kSntpPacketSize, request);
                } else if (!partials.join(d, now, request)) {
                    continue;
                }
                if (!isSntpClientRequest(request)) continue;
                std::copy(request, request + kSntpPacketSize, reply.bytes);
                reply.size = kSntpPacketSize;
                reply.peer = d.peer;
                reply.local = d.local;
                clients[static_cast<size_t>(answering)] = d.peer;
                ++answering;
            }
            if (answering == 0) continue;
            // The time the replies leave, taken just before they do.
            const platform::FileTime leaving = platform::getSystemTimeAsFileTime();
            for (int i = 0; i < answering; ++i) {
                uint8_t(&packet)[kSntpPacketSize] = replies[static_cast<size_t>(i)].bytes;
                buildSntpReply(packet, arrived, leaving);
            }
            (void)socket->sendDatagrams(replies.data(), answering);
            reports.served(ServedBy::Sntp, clients.data(), answering);
        }
        publish(slot, nullptr);
    }
    // Let go of the port before the local time service comes back, and
    // before the thread counts as stopped.
    socket.reset();
    if (!stoppedService.empty()) {
        localTimeService.stop(stoppedService);
        platform::sleepMs(kServiceRestartWaitMs);
        localTimeService.start(stoppedService);
    }
    if (!v6) serverActivity.fetch_and(~kSntpServerRunning);
}

}  // namespace

std::string sntpPortErrorText(const platform::PortHolder& holder) {
    std::string text = "SNTP Server Port Error; ";
    if (holder.pid == 0) return text + platform::sntpPortAdvice();
    const std::string program = holder.program.empty() ? "a process" : holder.program;
    return text + "UDP port 123 is held by " + program + " (pid " + std::to_string(holder.pid) + ").";
}

void setLocalTimeServiceControl(LocalTimeServiceControl control) { localTimeService = std::move(control); }

std::string serverStateText() {
    switch (serverActivity.load()) {
        case kTimeServerRunning: return slot(kSlotTimeServerActive);
        case kSntpServerRunning: return slot(kSlotSntpServerActive);
        case kTimeServerRunning | kSntpServerRunning: return slot(kSlotBothServersActive);
        default: return std::string();
    }
}

void joinTimeServers() {
    std::lock_guard lock(threadMutex);
    for (std::thread* t : {&timeThread, &sntpThread, &timeThread6, &sntpThread6}) {
        if (t->joinable()) t->join();
    }
    reports.stop();
}

void startTimeServers(ServerStatusSink sink, ServerStatusSink trouble) {
    // The threads of an earlier start were asked to stop; they end first.
    stopTimeServers();
    joinTimeServers();
    std::lock_guard lock(threadMutex);
    stopRequested.store(false);
    stopSignal.reset();
    sntpPortTried.reset();
    reports.start(std::move(sink), std::move(trouble));
    timeThread = std::thread(timeServerThread, platform::AddressFamily::V4);
    sntpThread = std::thread(sntpServerThread, platform::AddressFamily::V4);
    timeThread6 = std::thread(timeServerThread, platform::AddressFamily::V6);
    sntpThread6 = std::thread(sntpServerThread, platform::AddressFamily::V6);
}

void stopTimeServers() {
    std::lock_guard lock(socketMutex);
    stopRequested.store(true);
    stopSignal.set();
    for (const auto* socket : {&timeSocket, &sntpSocket, &timeSocket6, &sntpSocket6}) {
        if (*socket) (*socket)->close();
    }
}

}  // namespace tavrel
