#include "timeservice/time_servers.h"

#include <array>
#include <mutex>
#include <thread>

#include "platform/thread.h"
#include "platform/time.h"
#include "platform/time_service.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "protocol/server_replies.h"
#include "storage/string_slots.h"

namespace tavrel {

std::atomic<int32_t> serverActivity{0};

namespace {

constexpr int kSlotTimeServed = 110;
constexpr int kSlotSntpServed = 111;
constexpr int kListenBacklog = 5;
constexpr uint32_t kRetryPauseMs = 1000;
constexpr uint32_t kServiceStopWaitMs = 1000;
constexpr uint32_t kServiceRestartWaitMs = 2000;
constexpr int kMaxReceiveCalls = 101;
constexpr size_t kNameCacheSize = 16;

// The two server threads, their sockets (published so that a stop can
// close them under a blocked call) and where their status lines go.
std::mutex threadMutex;  // start and join
std::thread timeThread;
std::thread sntpThread;
std::atomic<bool> stopRequested{false};
std::mutex socketMutex;  // the sockets and the sink
std::shared_ptr<platform::Socket> timeSocket;
std::shared_ptr<platform::Socket> sntpSocket;
ServerStatusSink statusSink;

struct CachedName {
    platform::Ipv4Address address = 0;
    std::string name;
    uint64_t used = 0;
};
std::mutex nameMutex;
std::array<CachedName, kNameCacheSize> nameCache;
uint64_t nameUses = 0;

bool serving() { return !stopRequested.load(); }

// Publishes a server's socket; one published after the stop is closed at once.
void publish(std::shared_ptr<platform::Socket>& slot, std::shared_ptr<platform::Socket> socket) {
    std::lock_guard lock(socketMutex);
    if (socket && stopRequested.load()) socket->close();
    slot = std::move(socket);
}

void report(const std::string& text) {
    ServerStatusSink sink;
    {
        std::lock_guard lock(socketMutex);
        sink = statusSink;
    }
    if (sink) sink(text);
}

void showServed(int textSlot, const std::string& client) {
    report(slot(textSlot) + client);
    if (settings.logSyncs.load() != 0 && settings.logDisabled.load() == 0) logNamedLine(slot(textSlot), client);
}

void timeServerThread() {
    serverActivity.fetch_add(kTimeServerRunning);
    const platform::SocketLibraryUse library;
    std::shared_ptr<platform::Socket> listener;
    if (library.ready()) listener = platform::Socket::create(platform::SocketKind::Tcp);
    if (listener) {
        publish(timeSocket, listener);
        (void)listener->setReuseAddress();
        bool bound = false;
        while (serving()) {
            // Listening without the port would listen on a port of the
            // system's choosing, so the bind must stand first.
            if (!bound) bound = listener->bind(platform::kAnyAddress, kTimePort);
            if (!bound || !listener->listen(kListenBacklog)) {
                // Port taken or no right to it: try again, but never spin.
                platform::sleepMs(kRetryPauseMs);
                continue;
            }
            platform::Ipv4Address peer = 0;
            std::shared_ptr<platform::Socket> client = listener->accept(&peer);
            if (!client) continue;
            uint8_t reply[kTimeReplySize];
            buildTimeReply(platform::getSystemTimeAsFileTime(), reply);
            (void)client->send(reply, sizeof reply);
            client->close();
            client.reset();
            showServed(kSlotTimeServed, clientName(peer));
        }
        publish(timeSocket, nullptr);
    }
    // The port is free once the thread counts as stopped.
    listener.reset();
    serverActivity.fetch_sub(kTimeServerRunning);
}

// Gathers one 48-byte request; false when none came complete.
bool gatherRequest(platform::Socket& socket, uint8_t (&packet)[kSntpPacketSize], platform::Ipv4Address& peer,
                   uint16_t& peerPort) {
    size_t have = 0;
    for (int calls = 1;; ++calls) {
        // A longer datagram delivers its first bytes only; nothing is ever
        // written beyond the buffer.
        const long n = socket.receiveFrom(packet + have, kSntpPacketSize - have, peer, peerPort);
        if (n < 0) return false;
        have += static_cast<size_t>(n);
        if (have == kSntpPacketSize) return true;
        if (calls >= kMaxReceiveCalls || !serving()) return false;
    }
}

void sntpServerThread() {
    serverActivity.fetch_add(kSntpServerRunning);
    const std::string localService = platform::runningTimeService();
    if (!localService.empty()) {
        platform::stopTimeService(localService);
        platform::sleepMs(kServiceStopWaitMs);
    }
    const platform::SocketLibraryUse library;
    std::shared_ptr<platform::Socket> socket;
    if (library.ready()) socket = platform::Socket::create(platform::SocketKind::Udp);
    const bool ready = socket && socket->setReuseAddress() && socket->bind(platform::kAnyAddress, kSntpPort);
    if (!localService.empty()) platform::startTimeService(localService);

    if (!ready) {
        report(kSntpPortError);
    } else {
        publish(sntpSocket, socket);
        while (serving()) {
            uint8_t packet[kSntpPacketSize] = {};
            platform::Ipv4Address peer = 0;
            uint16_t peerPort = 0;
            if (!gatherRequest(*socket, packet, peer, peerPort)) continue;
            buildSntpReply(packet, platform::getSystemTime());
            (void)socket->sendTo(packet, sizeof packet, peer, peerPort);
            // The client has its answer; only now is its name looked up.
            showServed(kSlotSntpServed, clientName(peer));
        }
        publish(sntpSocket, nullptr);
    }
    // Let go of the port before the local time service comes back, and
    // before the thread counts as stopped.
    socket.reset();
    if (!localService.empty()) {
        platform::stopTimeService(localService);
        platform::sleepMs(kServiceRestartWaitMs);
        platform::startTimeService(localService);
    }
    serverActivity.fetch_sub(kSntpServerRunning);
}

}  // namespace

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
    if (timeThread.joinable()) timeThread.join();
    if (sntpThread.joinable()) sntpThread.join();
}

void startTimeServers(ServerStatusSink sink) {
    // The threads of an earlier start were asked to stop; they end first.
    stopTimeServers();
    joinTimeServers();
    std::lock_guard lock(threadMutex);
    {
        std::lock_guard sockets(socketMutex);
        statusSink = std::move(sink);
    }
    stopRequested.store(false);
    timeThread = std::thread(timeServerThread);
    sntpThread = std::thread(sntpServerThread);
}

void stopTimeServers() {
    std::lock_guard lock(socketMutex);
    stopRequested.store(true);
    if (timeSocket) timeSocket->close();
    if (sntpSocket) sntpSocket->close();
}

std::string clientName(platform::Ipv4Address address) {
    {
        std::lock_guard lock(nameMutex);
        for (CachedName& entry : nameCache) {
            if (entry.used != 0 && entry.address == address) {
                entry.used = ++nameUses;
                return entry.name;
            }
        }
    }
    std::string name = platform::reverseLookup(address);
    if (name.empty()) name = platform::dottedQuad(address);
    std::lock_guard lock(nameMutex);
    CachedName* oldest = &nameCache[0];
    for (CachedName& entry : nameCache) {
        if (entry.used < oldest->used) oldest = &entry;
    }
    *oldest = CachedName{address, name, ++nameUses};
    return name;
}

}  // namespace tavrel
