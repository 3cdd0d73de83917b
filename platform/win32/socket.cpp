// Windows sockets (Winsock). Each socket is non-blocking underneath, its
// network events (WSAEventSelect) signalling one event object; a call that
// would block waits on that object and on the socket's "closed" event, which
// close() sets, so that close() from another thread ends any wait at once.
//
// Winsock records a network event once, and records it again only after the
// call that re-enables it (recv after FD_READ, accept after FD_ACCEPT, a send
// that would block for FD_WRITE). So every call tries its operation first
// and waits only when it would block, and a wake-up without its event just
// means trying again. Reading the record (WSAEnumNetworkEvents) clears it
// for every thread, so the events read are kept in the socket's state until
// a waiter that wants them takes them: one thread at a time waits on the
// event objects, the others on a condition variable.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "platform/socket.h"

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace tavrel::platform {

struct Socket::State {
    std::atomic<bool> closed{false};
    // Set by a successful connect(): Linux reports a refused datagram only
    // on a connected socket.
    std::atomic<bool> connected{false};
    WSAEVENT networkEvent = WSA_INVALID_EVENT;

    std::mutex mutex;  // guards the members below
    std::condition_variable changed;
    long recorded = 0;      // network events read but not yet taken
    int connectError = 0;   // the outcome that came with FD_CONNECT
    bool watching = false;  // a thread waits on the event objects
};

namespace {

constexpr long kNetworkEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

// The platform's own start of Winsock, made once and never undone: sockets
// and name lookups work before the callers' socketLibraryStart, as on Linux,
// and their socketLibraryStop never pulls the library from under a socket
// that is still open.
void ensureLibrary() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

SOCKET socketOf(intptr_t fd) { return static_cast<SOCKET>(fd); }
HANDLE eventOf(intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }

sockaddr_in makeAddress(Ipv4Address address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    return sa;
}

int lengthOf(size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

// Readies a new socket: not inherited by programs this process starts, its
// network events on an event object of its own (a socket from accept()
// would otherwise share the listener's), and the event close() sets.
bool prepare(SOCKET s, WSAEVENT& network, HANDLE& closed) {
    (void)SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    network = WSACreateEvent();
    if (network == WSA_INVALID_EVENT) return false;
    closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (closed != nullptr && WSAEventSelect(s, network, kNetworkEvents) == 0) return true;
    if (closed != nullptr) CloseHandle(closed);
    WSACloseEvent(network);
    return false;
}

}  // namespace

Socket::Socket(intptr_t fd, intptr_t wakeFd) : fd_(fd), wakeFd_(wakeFd), state_(std::make_unique<State>()) {}

Socket::~Socket() {
    closesocket(socketOf(fd_));
    CloseHandle(eventOf(wakeFd_));
    if (state_->networkEvent != WSA_INVALID_EVENT) WSACloseEvent(state_->networkEvent);
}

std::shared_ptr<Socket> Socket::create(SocketKind kind) {
    ensureLibrary();
    const bool tcp = kind == SocketKind::Tcp;
    const SOCKET s = ::socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, tcp ? IPPROTO_TCP : IPPROTO_UDP);
    if (s == INVALID_SOCKET) return nullptr;
    return adopt(static_cast<intptr_t>(s));
}

std::shared_ptr<Socket> Socket::adopt(intptr_t fd) {
    const SOCKET s = socketOf(fd);
    WSAEVENT network;
    HANDLE closed;
    if (!prepare(s, network, closed)) {
        closesocket(s);
        return nullptr;
    }
    std::shared_ptr<Socket> socket(new Socket(fd, reinterpret_cast<intptr_t>(closed)));
    socket->state_->networkEvent = network;
    return socket;
}

void Socket::close() {
    if (state_->closed.exchange(true)) return;
    // The socket itself stays open until the last owner lets go, so a
    // blocked call never meets a reused handle; the event ends its wait.
    ::shutdown(socketOf(fd_), SD_BOTH);
    SetEvent(eventOf(wakeFd_));
}

bool Socket::waitFor(short events) {
    State& state = *state_;
    std::unique_lock lock(state.mutex);
    for (;;) {
        if (state.closed.load()) return false;
        if ((state.recorded & events) != 0) {
            state.recorded &= ~static_cast<long>(events);
            return true;
        }
        if (state.watching) {
            state.changed.wait(lock);
            continue;
        }
        state.watching = true;
        lock.unlock();
        const WSAEVENT objects[2] = {state.networkEvent, eventOf(wakeFd_)};
        const DWORD woke = WSAWaitForMultipleEvents(2, objects, FALSE, WSA_INFINITE, FALSE);
        WSANETWORKEVENTS network{};
        const bool networkRead =
            woke == WSA_WAIT_EVENT_0 && WSAEnumNetworkEvents(socketOf(fd_), state.networkEvent, &network) == 0;
        lock.lock();
        state.watching = false;
        if (networkRead) {
            state.recorded |= network.lNetworkEvents;
            if ((network.lNetworkEvents & FD_CONNECT) != 0) state.connectError = network.iErrorCode[FD_CONNECT_BIT];
        }
        state.changed.notify_all();
        // A failed wait, or a signalled event whose record cannot be read
        // (and so stays signalled), would only repeat: give up.
        if (woke == WSA_WAIT_FAILED || (woke == WSA_WAIT_EVENT_0 && !networkRead)) return false;
    }
}

bool Socket::connect(Ipv4Address address, uint16_t port) {
    if (state_->closed.load()) return false;
    const sockaddr_in sa = makeAddress(address, port);
    if (::connect(socketOf(fd_), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
        if (!waitFor(FD_CONNECT)) return false;
        std::lock_guard lock(state_->mutex);
        if (state_->connectError != 0) return false;
    }
    state_->connected.store(true);
    return true;
}

long Socket::receive(void* buffer, size_t size) {
    const int length = lengthOf(size);
    for (;;) {
        if (state_->closed.load()) return -1;
        const int n = ::recv(socketOf(fd_), static_cast<char*>(buffer), length, 0);
        if (n >= 0) return n;
        const int error = WSAGetLastError();
        // A longer datagram fills the buffer with its first bytes; Linux
        // hands those over without an error, and so does this.
        if (error == WSAEMSGSIZE) return length;
        if (error != WSAEWOULDBLOCK) return -1;
        if (!waitFor(static_cast<short>(FD_READ | FD_CLOSE))) return -1;
    }
}

long Socket::send(const void* data, size_t size) {
    const int length = lengthOf(size);
    for (;;) {
        if (state_->closed.load()) return -1;
        const int n = ::send(socketOf(fd_), static_cast<const char*>(data), length, 0);
        if (n >= 0) return n;
        if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
        if (!waitFor(static_cast<short>(FD_WRITE | FD_CLOSE))) return -1;
    }
}

bool Socket::setReuseAddress() {
    // What SO_REUSEADDR gives on Linux, binding a port while connections of
    // an earlier listener linger in TIME_WAIT, Windows allows by default.
    // Its SO_REUSEADDR would go further and let the bind take a port that
    // another socket holds, which Linux refuses: so it is not set.
    return true;
}

bool Socket::bind(Ipv4Address address, uint16_t port) {
    const sockaddr_in sa = makeAddress(address, port);
    return ::bind(socketOf(fd_), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool Socket::listen(int backlog) { return ::listen(socketOf(fd_), backlog) == 0; }

std::shared_ptr<Socket> Socket::accept(Ipv4Address* peer) {
    for (;;) {
        if (state_->closed.load()) return nullptr;
        sockaddr_in sa{};
        int len = sizeof sa;
        const SOCKET s = ::accept(socketOf(fd_), reinterpret_cast<sockaddr*>(&sa), &len);
        if (s != INVALID_SOCKET) {
            std::shared_ptr<Socket> socket = adopt(static_cast<intptr_t>(s));
            if (socket == nullptr) return nullptr;
            socket->state_->connected.store(true);
            if (peer != nullptr) *peer = ntohl(sa.sin_addr.s_addr);
            return socket;
        }
        const int error = WSAGetLastError();
        if (error == WSAECONNRESET) continue;  // the peer left before it was taken
        if (error != WSAEWOULDBLOCK) return nullptr;
        if (!waitFor(FD_ACCEPT)) return nullptr;
    }
}

long Socket::receiveFrom(void* buffer, size_t size, Ipv4Address& peer, uint16_t& peerPort) {
    const int length = lengthOf(size);
    for (;;) {
        if (state_->closed.load()) return -1;
        sockaddr_in sa{};
        int len = sizeof sa;
        int n = ::recvfrom(socketOf(fd_), static_cast<char*>(buffer), length, 0, reinterpret_cast<sockaddr*>(&sa), &len);
        if (n < 0) {
            const int error = WSAGetLastError();
            if (error == WSAEMSGSIZE) {
                n = length;  // the first bytes of a longer datagram, as on Linux
            } else if ((error == WSAECONNRESET || error == WSAENETRESET) && !state_->connected.load()) {
                // An unconnected socket hears here that an earlier datagram
                // found nobody (ICMP); Linux does not report that: pass over.
                continue;
            } else if (error == WSAEWOULDBLOCK) {
                if (!waitFor(FD_READ)) return -1;
                continue;
            } else {
                return -1;
            }
        }
        peer = ntohl(sa.sin_addr.s_addr);
        peerPort = ntohs(sa.sin_port);
        return n;
    }
}

long Socket::sendTo(const void* data, size_t size, Ipv4Address peer, uint16_t peerPort) {
    const sockaddr_in sa = makeAddress(peer, peerPort);
    const int length = lengthOf(size);
    for (;;) {
        if (state_->closed.load()) return -1;
        const int n = ::sendto(socketOf(fd_), static_cast<const char*>(data), length, 0,
                               reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        if (n >= 0) return n;
        if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
        if (!waitFor(FD_WRITE)) return -1;
    }
}

uint16_t Socket::localPort() const {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (getsockname(socketOf(fd_), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

bool parseIpv4Address(const std::string& text, Ipv4Address& out) {
    // inet_addr takes the same forms as inet_aton on Linux, but answers
    // INADDR_NONE both for "no address" and for 255.255.255.255.
    const unsigned long value = inet_addr(text.c_str());
    if (value == INADDR_NONE && text != "255.255.255.255") return false;
    out = ntohl(value);
    return true;
}

bool resolveFirstIpv4(const std::string& name, Ipv4Address& out) {
    // gethostbyname("") names this computer; the Linux resolver finds nothing.
    if (name.empty()) return false;
    ensureLibrary();
    const hostent* host = gethostbyname(name.c_str());
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 || host->h_addr_list[0] == nullptr) {
        return false;
    }
    in_addr address;
    std::memcpy(&address, host->h_addr_list[0], sizeof address);
    out = ntohl(address.s_addr);
    return true;
}

std::string reverseLookup(Ipv4Address address) {
    ensureLibrary();
    const uint32_t networkOrder = htonl(address);
    const hostent* host = gethostbyaddr(reinterpret_cast<const char*>(&networkOrder), sizeof networkOrder, AF_INET);
    return host != nullptr && host->h_name != nullptr ? std::string(host->h_name) : std::string();
}

int socketLibraryStart() {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data);
}

void socketLibraryStop() { WSACleanup(); }

}  // namespace tavrel::platform
