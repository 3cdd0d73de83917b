#include "timeservice/time_servers.h"

#include <array>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "platform/time.h"
#include "platform/time_service.h"
#include "protocol/server_replies.h"
#include "protocol/sntp_handler.h"
#include "storage/string_slots.h"
#include "storage/strings.h"
#include "timeservice/client_reports.h"

namespace tavrel {
namespace {

// Requests taken and answered in one go.
constexpr int kBatch = 32;
// A TIME batch this large counts as load, and the server naps this long
// after it.
constexpr int kBusyBatch = 4;
constexpr uint32_t kBusyNapUs = 200;
// A TIME port that cannot be had is tried again this often.
constexpr uint32_t kRetryPauseMs = 1000;
// How long a stopped local time service is given to let go of the port.
constexpr uint32_t kPortFreeWaitMs = 5000;
constexpr uint32_t kPortFreeStepMs = 100;
constexpr uint32_t kServiceRestartWaitMs = 2000;
// What the system says of the clock is read again after this long.
constexpr uint64_t kSystemClockReadMs = 1000;
constexpr char kTimePortError[] = "TIME Server Port Error; another program holds TCP port 37, or the right to it is missing.";
// When connections wait but cannot be taken, the server pauses this long
// before it tries again, doubling up to the longest pause; the first try
// after descriptors free serves them.
constexpr uint32_t kAcceptPauseFirstMs = 10;
constexpr uint32_t kAcceptPauseMostMs = 500;

// Counts a server thread out as it ends, however it ends.
struct ThreadEnd {
    std::atomic<int>& running;
    ~ThreadEnd() { running.fetch_sub(1); }
};

// How often finish looks whether the threads have ended.
constexpr uint32_t kFinishStepMs = 10;

}  // namespace

// Publishes a server's socket; one published after the stop is closed at once.
void TimeServers::publish(std::shared_ptr<platform::Socket>& slot, std::shared_ptr<platform::Socket> socket) {
    std::lock_guard lock(socketMutex_);
    if (socket && stopRequested_.load()) socket->close();
    slot = std::move(socket);
}

void TimeServers::timeServerThread(platform::AddressFamily family) {
    const ThreadEnd end{threadsRunning_};
    const bool v6 = family == platform::AddressFamily::V6;
    platform::raiseThreadPriority();
    const platform::SocketLibraryUse library;
    std::shared_ptr<platform::Socket> listener;
    if (library.ready()) listener = platform::Socket::create(platform::SocketKind::Tcp, family);
    if (!listener) {
        if (!v6) reports_.problem(kTimePortError);
        return;
    }
    std::shared_ptr<platform::Socket>& slot = v6 ? timeSocket6_ : timeSocket_;
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
        if (!reported) reports_.problem(kTimePortError);
        reported = true;
        (void)stopSignal_.wait(kRetryPauseMs);
    }
    if (serving() && !v6) activity_.fetch_or(kTimeServerRunning);
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
                if (!v6) reports_.problem(kTimeAcceptError);
                acceptPause = kAcceptPauseFirstMs;
            } else if (acceptPause < kAcceptPauseMostMs) {
                acceptPause = acceptPause * 2 < kAcceptPauseMostMs ? acceptPause * 2 : kAcceptPauseMostMs;
            }
            (void)stopSignal_.wait(acceptPause);
            continue;
        }
        if (acceptPause != 0 && !v6) reports_.problem(kTimeAcceptRecovered);
        acceptPause = 0;
        uint8_t reply[kTimeReplySize];
        buildTimeReply(platform::getSystemTimeAsFileTime(), reply);
        for (int i = 0; i < taken; ++i) {
            platform::Socket::answerAndClose(connections[static_cast<size_t>(i)], reply, sizeof reply);
            clients[static_cast<size_t>(i)] = connections[static_cast<size_t>(i)].peer;
        }
        reports_.served(ServedBy::Time, clients.data(), taken);
        served_[0].fetch_add(static_cast<uint64_t>(taken), std::memory_order_relaxed);
        // Under load (several connections came at once) a short nap lets
        // the next ones gather: one wake-up then takes many, instead of the
        // clients' side paying for a wake-up per connection. One at a time
        // (a light load) is never held up.
        if (taken >= kBusyBatch) platform::napMicroseconds(kBusyNapUs);
    }
    publish(slot, nullptr);
    // The port is free once the thread counts as stopped.
    listener.reset();
    if (!v6) activity_.fetch_and(~kTimeServerRunning);
}

// Binds UDP 123 alone. When it is taken and a local time service of the
// system's is what holds it, that service is stopped for the bind and
// started again after it (it then runs without the port); its name comes
// back in `stopped`, to give the port back when the server ends. A port
// held by anything else is left alone, and its holder named in `trouble`.
bool TimeServers::bindSntpPort(platform::Socket& socket, std::string& stopped, std::string& trouble) {
    const platform::NetAddress port = platform::NetAddress::any(platform::AddressFamily::V4, kSntpPort);
    if (socket.bind(port)) return true;
    const platform::PortHolder holder = options_.localTimeService.holder ? options_.localTimeService.holder(kSntpPort) : platform::PortHolder{};
    trouble = sntpPortErrorText(holder);
    const std::string& service = holder.service;
    if (service.empty()) return false;
    options_.localTimeService.stop(service);
    bool bound = false;
    for (uint32_t waited = 0; !bound && waited < kPortFreeWaitMs && serving(); waited += kPortFreeStepMs) {
        (void)stopSignal_.wait(kPortFreeStepMs);
        bound = socket.bind(port);
    }
    options_.localTimeService.start(service);
    if (bound) stopped = service;
    return bound;
}

void TimeServers::sntpServerThread(platform::AddressFamily family) {
    const ThreadEnd end{threadsRunning_};
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
        while (serving() && !sntpPortTried_.wait(kRetryPauseMs)) {
        }
        if (library.ready()) socket = platform::Socket::create(platform::SocketKind::Udp, family);
        ready = serving() && socket && socket->setExclusiveAddress() &&
                socket->bind(platform::NetAddress::any(family, kSntpPort)) && socket->enableDestinationAddress();
    } else {
        if (library.ready()) socket = platform::Socket::create(platform::SocketKind::Udp, family);
        ready = socket && socket->setExclusiveAddress() && bindSntpPort(*socket, stoppedService, trouble) &&
                socket->enableDestinationAddress();
        sntpPortTried_.set();
    }
    std::shared_ptr<platform::Socket>& slot = v6 ? sntpSocket6_ : sntpSocket_;
    if (!ready) {
        // No IPv6 here, or its port is taken: IPv4 serves alone.
        if (!v6) reports_.problem(trouble);
    } else {
        publish(slot, socket);
        socket->enableBlockingBatches();
        if (!v6) activity_.fetch_or(kSntpServerRunning);
        std::array<platform::Datagram, kBatch> received;
        std::array<platform::Datagram, kBatch> replies;
        std::array<platform::NetAddress, kBatch> clients;
        SntpRequestHandler handler(options_.limitClients);
        ClockStanding system;
        uint64_t systemReadAt = 0;
        bool systemRead = false;
        int n = 0;
        while (serving()) {
            // One request at a time: wait before trying; under load, try first.
            n = socket->receiveDatagrams(received.data(), kBatch, n <= 1);
            if (n < 0) break;
            // The time the requests came, taken as they are taken.
            const platform::FileTime arrived = platform::getSystemTimeAsFileTime();
            const uint64_t now = platform::getTickCount64();
            if (!systemRead || now - systemReadAt >= kSystemClockReadMs) {
                const platform::ClockSyncState state = platform::clockSyncState();
                system.systemSynchronised = state.synchronised;
                system.systemMaxErrorUs = state.maxErrorUs;
                systemReadAt = now;
                systemRead = true;
            }
            ClockStanding standing = options_.standing ? options_.standing() : ClockStanding{};
            standing.systemSynchronised = system.systemSynchronised;
            standing.systemMaxErrorUs = system.systemMaxErrorUs;
            const ServedClock clock = servedClockAt(standing, arrived);
            int answering = 0;
            int served = 0;
            for (int i = 0; i < n; ++i) {
                const platform::Datagram& d = received[static_cast<size_t>(i)];
                platform::Datagram& reply = replies[static_cast<size_t>(answering)];
                const SntpDecision decision = handler.handle(d.bytes, d.size, d.peer, now, arrived, clock, reply.bytes);
                if (decision == SntpDecision::Drop) continue;
                reply.size = kSntpPacketSize;
                reply.peer = d.peer;
                reply.local = d.local;
                ++answering;
                // A kiss is no time served.
                if (decision == SntpDecision::Answer) clients[static_cast<size_t>(served++)] = d.peer;
            }
            if (answering == 0) continue;
            // The time the replies leave, taken just before they do.
            const platform::FileTime leaving = platform::getSystemTimeAsFileTime();
            for (int i = 0; i < answering; ++i) stampTransmit(replies[static_cast<size_t>(i)].bytes, leaving);
            (void)socket->sendDatagrams(replies.data(), answering);
            if (served > 0) {
                reports_.served(ServedBy::Sntp, clients.data(), served);
                served_[1].fetch_add(static_cast<uint64_t>(served), std::memory_order_relaxed);
            }
        }
        publish(slot, nullptr);
    }
    // Let go of the port before the local time service comes back, and
    // before the thread counts as stopped.
    socket.reset();
    if (!stoppedService.empty()) {
        options_.localTimeService.stop(stoppedService);
        platform::sleepMs(kServiceRestartWaitMs);
        options_.localTimeService.start(stoppedService);
    }
    if (!v6) activity_.fetch_and(~kSntpServerRunning);
}

std::string sntpPortErrorText(const platform::PortHolder& holder) {
    std::string text = "SNTP Server Port Error; ";
    // A holder of another user's shows no process, but maybe its unit.
    if (holder.pid == 0 && !holder.service.empty()) return text + "UDP port 123 is held by " + holder.service + ".";
    if (holder.pid == 0) return text + platform::sntpPortAdvice();
    const std::string program = holder.program.empty() ? "a process" : holder.program;
    return text + "UDP port 123 is held by " + program + " (pid " + std::to_string(holder.pid) + ").";
}

bool rateLimitWanted() {
    const char* value = std::getenv(kRateLimitVariable);
    return value == nullptr || std::string(value) != "off";
}

std::string TimeServers::stateText() const {
    switch (activity_.load()) {
        case kTimeServerRunning: return slot(kSlotTimeServerActive);
        case kSntpServerRunning: return slot(kSlotSntpServerActive);
        case kTimeServerRunning | kSntpServerRunning: return slot(kSlotBothServersActive);
        default: return std::string();
    }
}

void TimeServers::join() {
    std::lock_guard lock(threadMutex_);
    for (std::thread* t : {&timeThread_, &sntpThread_, &timeThread6_, &sntpThread6_}) {
        if (t->joinable()) t->join();
    }
    reports_.stop();
}

void TimeServers::start(TimeServerOptions options) {
    // The threads of an earlier start were asked to stop; they end first.
    stop();
    join();
    std::lock_guard lock(threadMutex_);
    stopRequested_.store(false);
    stopSignal_.reset();
    sntpPortTried_.reset();
    options_ = std::move(options);
    reports_.start(options_.sink, options_.trouble);
    threadsRunning_.store(4);
    timeThread_ = std::thread(&TimeServers::timeServerThread, this, platform::AddressFamily::V4);
    sntpThread_ = std::thread(&TimeServers::sntpServerThread, this, platform::AddressFamily::V4);
    timeThread6_ = std::thread(&TimeServers::timeServerThread, this, platform::AddressFamily::V6);
    sntpThread6_ = std::thread(&TimeServers::sntpServerThread, this, platform::AddressFamily::V6);
}

void TimeServers::stop() {
    std::lock_guard lock(socketMutex_);
    stopRequested_.store(true);
    stopSignal_.set();
    for (const auto* socket : {&timeSocket_, &sntpSocket_, &timeSocket6_, &sntpSocket6_}) {
        if (*socket) (*socket)->close();
    }
}

bool TimeServers::finish(uint32_t waitMs) {
    stop();
    for (uint32_t waited = 0; threadsRunning_.load() > 0 && waited < waitMs; waited += kFinishStepMs) {
        platform::sleepMs(kFinishStepMs);
    }
    if (threadsRunning_.load() > 0) return false;
    join();
    return true;
}

TimeServers::~TimeServers() {
    stop();
    join();
}

}  // namespace tavrel
