#include "engine/time_query.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine/clock_correction.h"
#include "engine/operation.h"
#include "engine/supervisor.h"
#include "protocol/time_protocol.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "servers/server_list.h"
#include "storage/settings.h"
#include "storage/shared_text.h"

namespace tavrel {

std::atomic<uint32_t> queryStep{0};
std::atomic<int32_t> queryFailed{0};
std::atomic<uint32_t> serverSeconds{0};
std::atomic<int64_t> measuredOffset{0};
std::atomic<uint32_t> replyTick{0};
std::atomic<uint32_t> responseMs{0};
std::atomic<uint64_t> queryThread{0};
std::atomic<int32_t> timeoutCountdown{0};
std::atomic<int32_t> autoProtocolChoice{1};
std::atomic<int32_t> winsockStarted{0};

namespace {

constexpr size_t kAddressTextSize = 16;
constexpr int kMaxReceiveAttempts = 100;  // a further pass after this many ends the loop
constexpr uint32_t kDateRangeWidening = 1500;

char addressText[kAddressTextSize] = {};

// The running query's socket, and whether an abort came for this query;
// a socket published after the abort is closed at once.
std::mutex querySocketMutex;
std::shared_ptr<platform::Socket> querySocket;
bool queryAbortRequested = false;

// Query threads run detached; the end of each is announced here.
std::mutex queryEndMutex;
std::condition_variable queryEnded;
std::atomic<uint64_t> nextThreadToken{0};
constexpr uint32_t kAbortRecheckMs = 100;

void setQuerySocket(std::shared_ptr<platform::Socket> socket) {
    std::lock_guard lock(querySocketMutex);
    if (socket && queryAbortRequested) socket->close();
    querySocket = std::move(socket);
}

void closeQuerySocket(bool abort) {
    std::lock_guard lock(querySocketMutex);
    if (abort) queryAbortRequested = true;
    if (querySocket) querySocket->close();
}

void setAddressText(const std::string& text) {
    std::lock_guard lock(sharedTextMutex());
    copyBoundedText(addressText, sizeof addressText, text);
}

void advance(uint32_t step) {
    queryStep.store(step);
    wakeEvent.set();
}

enum class Received { Complete, Incomplete, Failed };

// Gathers `wanted` bytes with at most 101 receive calls; gives up early when
// abortQuery is set. A receive error fails the loop.
Received receiveLoop(platform::Socket& socket, uint8_t* buffer, size_t wanted, size_t& got) {
    got = 0;
    for (int attempts = 0;;) {
        const long n = socket.receive(buffer + got, wanted - got);
        ++attempts;
        if (n < 0) return Received::Failed;
        got += static_cast<size_t>(n);
        if (got == wanted) return Received::Complete;
        if (attempts > kMaxReceiveAttempts || settings.abortQuery.load() != 0) return Received::Incomplete;
    }
}

// RFC 868: the server sends four bytes as soon as the connection stands.
bool timeExchange(platform::Socket& socket, uint32_t startTick) {
    uint8_t reply[kTimeReplySize] = {};
    size_t got = 0;
    // A reply cut short would set the clock wrong by up to 2^24 seconds.
    if (receiveLoop(socket, reply, sizeof reply, got) != Received::Complete) return false;
    const uint32_t seconds = readWord(reply, 0);
    if (seconds == 0) return false;
    advance(5);
    replyTick.store(platform::getTickCount());
    serverSeconds.store(seconds);
    responseMs.store(platform::getTickCount() - startTick);
    return true;
}

bool sntpExchange(platform::Socket& socket, platform::FileTime t1, uint16_t t1Ms, uint32_t startTick) {
    serverClockRunning.store(0);
    uint8_t packet[kSntpPacketSize];
    buildSntpRequest(t1, t1Ms, packet);
    (void)socket.send(packet, sizeof packet);

    for (size_t i = 16; i < kSntpPacketSize; ++i) packet[i] = 0;
    size_t got = 0;
    if (receiveLoop(socket, packet, sizeof packet, got) != Received::Complete) return false;
    const platform::FileTime t4 = platform::getSystemTimeAsFileTime();
    advance(5);
    replyTick.store(platform::getTickCount());
    responseMs.store(replyTick.load() - startTick);

    SntpTimestamps stamps{};
    if (!readSntpReply(packet, stamps)) return false;
    serverSeconds.store(stamps.transmitSeconds);
    const platform::FileTime t2 = ntpToFileTime(stamps.receiveSeconds, stamps.receiveFraction);
    const platform::FileTime t3 = ntpToFileTime(stamps.transmitSeconds, stamps.transmitFraction);
    measuredOffset.store(sntpOffset(t1, t2, t3, t4));
    return true;
}

// The server's time against the accepted date range; a bound that refused
// it moves out by 1500 upper-word units when auto reset is on.
bool dateRangeTest() {
    const uint32_t h = platform::upperWord(wireSecondsToFileTime(serverSeconds.load()));
    bool accepted = true;
    if (h < platform::upperWord(settings.dateRangeLow.load())) {
        accepted = false;
        if (settings.dateRangeAutoReset.load() != 0) settings.dateRangeLow.addToUpper(-static_cast<int32_t>(kDateRangeWidening));
    }
    if (h > platform::upperWord(settings.dateRangeHigh.load())) {
        accepted = false;
        if (settings.dateRangeAutoReset.load() != 0) settings.dateRangeHigh.addToUpper(static_cast<int32_t>(kDateRangeWidening));
    }
    return accepted;
}

// Steps 5 to 8 and the exchange; false on any failure.
bool contactServer(platform::FileTime t1, uint16_t t1Ms, int32_t protocol) {
    advance(2);
    const uint32_t startTick = platform::getTickCount();
    const bool useTime = protocol == 0 || settings.forceTimeProtocol.load() != 0;
    std::shared_ptr<platform::Socket> socket =
        platform::Socket::create(useTime ? platform::SocketKind::Tcp : platform::SocketKind::Udp);
    if (!socket) return false;
    setQuerySocket(socket);

    platform::Ipv4Address address = 0;
    const int32_t source = settings.serverSource.load();
    if (source == 0) {
        const std::string name = currentServerName();
        if (!platform::parseIpv4Address(name, address) && !platform::resolveFirstIpv4(name, address)) return false;
    } else {
        // The manual sources are addresses: no name lookup, and every later
        // text names the address.
        const std::string manual = source == 1 ? manualAddressA() : manualAddressB();
        setCurrentServerName(manual);
        if (!platform::parseIpv4Address(manual, address)) return false;
    }
    setAddressText(platform::dottedQuad(address));
    advance(3);

    if (!socket->connect(address, useTime ? kTimePort : kSntpPort)) return false;
    advance(4);
    return useTime ? timeExchange(*socket, startTick) : sntpExchange(*socket, t1, t1Ms, startTick);
}

void runQueryThread(uint64_t token) {
    timeQuery();
    // Released here on every path, also when the query returned at its entry
    // check, so that nobody waits for it for ever. Nothing shared is touched
    // after this.
    std::lock_guard lock(queryEndMutex);
    uint64_t expected = token;
    queryThread.compare_exchange_strong(expected, 0);
    queryEnded.notify_all();
}

}  // namespace

std::string serverAddressText() {
    std::lock_guard lock(sharedTextMutex());
    return boundedText(addressText, sizeof addressText);
}

int startWinsock() {
    if (winsockStarted.load() != 0) return 0;
    const int result = platform::socketLibraryStart();
    if (result == 0) winsockStarted.store(1);
    return result;
}

void stopWinsock() {
    if (settings.timeServerEnabled.load() == 0 && winsockStarted.load() != 0) {
        platform::socketLibraryStop();
        winsockStarted.store(0);
    }
}

void timeQuery() {
    int32_t expected = kSyncActive;
    if (!syncState.compare_exchange_strong(expected, kSyncQueryInFlight)) return;
    queryFailed.store(0);
    if (queryThread.load() != 0) platform::raiseThreadPriority();
    serverSeconds.store(0);
    timeoutCountdown.store(static_cast<int32_t>(settings.syncTimeout.load() * 10));
    queryStep.store(1);

    const int32_t configured = settings.protocol.load();
    const int32_t protocol = configured == 2 ? autoProtocolChoice.load() : configured;
    const platform::SystemTime now = platform::getSystemTime();
    platform::FileTime t1 = 0;
    (void)platform::systemTimeToFileTime(now, t1);

    bool ok = startWinsock() == 0 && contactServer(t1, now.milliseconds, protocol);
    if (!ok) queryFailed.store(1);

    // The end, on success and on every failure.
    closeQuerySocket(false);
    setQuerySocket(nullptr);
    stopWinsock();
    if (ok && settings.dateRangeEnabled.load() != 0 && !dateRangeTest()) {
        ok = false;
        queryFailed.store(1);
    }
    if (ok) queryStep.store(6);
    expected = kSyncQueryInFlight;
    syncState.compare_exchange_strong(expected, kSyncActive);
    wakeEvent.set();
}

void startTimeQuery() {
    // Never two query threads at once: the previous one must have ended.
    waitForQueryThread();
    {
        std::lock_guard socketLock(querySocketMutex);
        queryAbortRequested = false;
    }
    const uint64_t token = ++nextThreadToken;
    queryThread.store(token);
    std::thread(runQueryThread, token).detach();
}

void waitForQueryThread() {
    std::unique_lock lock(queryEndMutex);
    queryEnded.wait(lock, [] { return queryThread.load() == 0; });
}

void abortRunningQuery() {
    settings.abortQuery.store(1);
    stopWinsock();
    // Every call a query can block in fails once its socket is closed. The
    // socket is closed again at each check, so a query that another thread
    // started meanwhile is ended as well.
    std::unique_lock lock(queryEndMutex);
    for (;;) {
        closeQuerySocket(true);
        if (queryEnded.wait_for(lock, std::chrono::milliseconds(kAbortRecheckMs),
                                [] { return queryThread.load() == 0; })) {
            return;
        }
    }
}

void resetQueryState() {
    waitForQueryThread();
    queryStep.store(0);
    queryFailed.store(0);
    serverSeconds.store(0);
    measuredOffset.store(0);
    replyTick.store(0);
    responseMs.store(0);
    timeoutCountdown.store(0);
    autoProtocolChoice.store(1);
    setAddressText("");
}

}  // namespace tavrel
