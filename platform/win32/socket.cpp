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
#include <mswsock.h>
#include <iphlpapi.h>
#include <windows.h>

#include "platform/socket.h"
#include "platform/sockaddr_convert.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>

namespace tavrel::platform {

struct Socket::State {
    std::atomic<bool> closed{false};
    // Set by a successful connect(): Linux reports a refused datagram only
    // on a connected socket.
    std::atomic<bool> connected{false};
    WSAEVENT networkEvent = WSA_INVALID_EVENT;

    // When waits give up (setWaitLimit); none while unset. The waiting
    // thread's own.
    std::optional<std::chrono::steady_clock::time_point> waitDeadline;

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

// WSARecvMsg is reached through the socket itself.
LPFN_WSARECVMSG recvMsgOf(SOCKET s) {
    GUID guid = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG function = nullptr;
    DWORD bytes = 0;
    if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof guid, &function, sizeof function, &bytes,
                 nullptr, nullptr) != 0) {
        return nullptr;
    }
    return function;
}

constexpr size_t kControlRoom = 64;

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

Socket::Socket(intptr_t fd, intptr_t wakeFd, AddressFamily family)
    : fd_(fd), wakeFd_(wakeFd), family_(family), state_(std::make_unique<State>()) {}

Socket::~Socket() {
    closesocket(socketOf(fd_));
    CloseHandle(eventOf(wakeFd_));
    if (state_->networkEvent != WSA_INVALID_EVENT) WSACloseEvent(state_->networkEvent);
}

std::shared_ptr<Socket> Socket::create(SocketKind kind, AddressFamily family) {
    ensureLibrary();
    const bool tcp = kind == SocketKind::Tcp;
    const int domain = family == AddressFamily::V6 ? AF_INET6 : AF_INET;
    const SOCKET s = ::socket(domain, tcp ? SOCK_STREAM : SOCK_DGRAM, tcp ? IPPROTO_TCP : IPPROTO_UDP);
    if (s == INVALID_SOCKET) return nullptr;
    if (family == AddressFamily::V6) {
        const DWORD on = 1;
        (void)setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
    }
    return adopt(static_cast<intptr_t>(s), family);
}

std::shared_ptr<Socket> Socket::adopt(intptr_t fd, AddressFamily family) {
    const SOCKET s = socketOf(fd);
    WSAEVENT network;
    HANDLE closed;
    if (!prepare(s, network, closed)) {
        closesocket(s);
        return nullptr;
    }
    std::shared_ptr<Socket> socket(new Socket(fd, reinterpret_cast<intptr_t>(closed), family));
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

void Socket::setWaitLimit(int ms) {
    if (ms < 0) {
        state_->waitDeadline.reset();
    } else {
        state_->waitDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    }
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
        DWORD timeout = WSA_INFINITE;
        if (state.waitDeadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*state.waitDeadline -
                                                                          std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            timeout = static_cast<DWORD>(std::min<int64_t>(left.count(), INT32_MAX));
        }
        if (state.watching) {
            if (state.waitDeadline) {
                state.changed.wait_until(lock, *state.waitDeadline);
            } else {
                state.changed.wait(lock);
            }
            continue;
        }
        state.watching = true;
        lock.unlock();
        const WSAEVENT objects[2] = {state.networkEvent, eventOf(wakeFd_)};
        const DWORD woke = WSAWaitForMultipleEvents(2, objects, FALSE, timeout, FALSE);
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

bool Socket::connect(const NetAddress& address) {
    if (state_->closed.load()) return false;
    sockaddr_storage sa;
    const int len = toSockaddr(address, sa);
    if (::connect(socketOf(fd_), reinterpret_cast<const sockaddr*>(&sa), len) != 0) {
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

bool Socket::setExclusiveAddress() {
    const DWORD on = 1;
    return setsockopt(socketOf(fd_), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on) ==
           0;
}

bool Socket::bind(const NetAddress& address) {
    sockaddr_storage sa;
    const int len = toSockaddr(address, sa);
    return ::bind(socketOf(fd_), reinterpret_cast<const sockaddr*>(&sa), len) == 0;
}

bool Socket::listen(int backlog) { return ::listen(socketOf(fd_), backlog < 0 ? SOMAXCONN : backlog) == 0; }

std::shared_ptr<Socket> Socket::accept(NetAddress* peer) {
    for (;;) {
        if (state_->closed.load()) return nullptr;
        sockaddr_storage sa{};
        int len = sizeof sa;
        const SOCKET s = ::accept(socketOf(fd_), reinterpret_cast<sockaddr*>(&sa), &len);
        if (s != INVALID_SOCKET) {
            std::shared_ptr<Socket> socket = adopt(static_cast<intptr_t>(s), family_);
            if (socket == nullptr) return nullptr;
            socket->state_->connected.store(true);
            if (peer != nullptr) *peer = fromSockaddr(reinterpret_cast<const sockaddr*>(&sa));
            return socket;
        }
        const int error = WSAGetLastError();
        if (error == WSAECONNRESET) continue;  // the peer left before it was taken
        if (error != WSAEWOULDBLOCK) return nullptr;
        if (!waitFor(FD_ACCEPT)) return nullptr;
    }
}

long Socket::receiveFrom(void* buffer, size_t size, NetAddress& peer) {
    const int length = lengthOf(size);
    for (;;) {
        if (state_->closed.load()) return -1;
        sockaddr_storage sa{};
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
        peer = fromSockaddr(reinterpret_cast<const sockaddr*>(&sa));
        return n;
    }
}

long Socket::sendTo(const void* data, size_t size, const NetAddress& peer) {
    sockaddr_storage sa;
    const int saLength = toSockaddr(peer, sa);
    const int length = lengthOf(size);
    for (;;) {
        if (state_->closed.load()) return -1;
        const int n = ::sendto(socketOf(fd_), static_cast<const char*>(data), length, 0,
                               reinterpret_cast<const sockaddr*>(&sa), saLength);
        if (n >= 0) return n;
        if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
        if (!waitFor(FD_WRITE)) return -1;
    }
}

uint16_t Socket::localPort() const { return localAddress().port; }

NetAddress Socket::localAddress() const {
    sockaddr_storage sa{};
    int len = sizeof sa;
    if (getsockname(socketOf(fd_), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return NetAddress::any(family_);
    return fromSockaddr(reinterpret_cast<const sockaddr*>(&sa));
}

bool Socket::enableDestinationAddress() {
    const DWORD on = 1;
    const char* value = reinterpret_cast<const char*>(&on);
    return family_ == AddressFamily::V6 ? setsockopt(socketOf(fd_), IPPROTO_IPV6, IPV6_PKTINFO, value, sizeof on) == 0
                                        : setsockopt(socketOf(fd_), IPPROTO_IP, IP_PKTINFO, value, sizeof on) == 0;
}

// Windows' waits already sleep in one call.
void Socket::enableBlockingBatches() {}

// One datagram a call: WSARecvMsg takes no batch.
int Socket::receiveDatagrams(Datagram* into, int count, bool) {
    if (count < 1) return 0;
    static thread_local LPFN_WSARECVMSG recvMsg = nullptr;
    if (recvMsg == nullptr) recvMsg = recvMsgOf(socketOf(fd_));
    if (recvMsg == nullptr) return -1;
    for (;;) {
        if (state_->closed.load()) return -1;
        Datagram& d = into[0];
        sockaddr_storage name{};
        alignas(WSACMSGHDR) char control[kControlRoom] = {};
        WSABUF buffer{static_cast<ULONG>(Datagram::kKept), reinterpret_cast<char*>(d.bytes)};
        WSAMSG message{};
        message.name = reinterpret_cast<sockaddr*>(&name);
        message.namelen = sizeof name;
        message.lpBuffers = &buffer;
        message.dwBufferCount = 1;
        message.Control = WSABUF{sizeof control, control};
        DWORD received = 0;
        const int result = recvMsg(socketOf(fd_), &message, &received, nullptr, nullptr);
        const int error = result == 0 ? 0 : WSAGetLastError();
        if (result == 0 || error == WSAEMSGSIZE) {
            const bool cut = (message.dwFlags & MSG_TRUNC) != 0 || error == WSAEMSGSIZE;
            d.size = received < Datagram::kKept ? received : Datagram::kKept;
            d.length = cut ? Datagram::kKept + 1 : received;
            d.peer = fromSockaddr(reinterpret_cast<const sockaddr*>(&name));
            d.local = NetAddress::any(family_);
            for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message); c != nullptr; c = WSA_CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                    IN_PKTINFO info{};
                    std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
                    std::memcpy(d.local.bytes, &info.ipi_addr, 4);
                } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
                    IN6_PKTINFO info{};
                    std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
                    std::memcpy(d.local.bytes, &info.ipi6_addr, 16);
                }
            }
            return 1;
        }
        // An earlier reply that found nobody (ICMP) is no failure of this socket.
        if (error == WSAECONNRESET || error == WSAENETRESET) continue;
        if (error != WSAEWOULDBLOCK) return 0;
        if (!waitFor(FD_READ)) return -1;
    }
}

int Socket::sendDatagrams(const Datagram* replies, int count) {
    int sent = 0;
    for (int i = 0; i < count; ++i) {
        const Datagram& d = replies[i];
        sockaddr_storage name;
        const int nameLength = toSockaddr(d.peer, name);
        alignas(WSACMSGHDR) char control[kControlRoom] = {};
        WSABUF buffer{static_cast<ULONG>(d.size), reinterpret_cast<char*>(const_cast<uint8_t*>(d.bytes))};
        WSAMSG message{};
        message.name = reinterpret_cast<sockaddr*>(&name);
        message.namelen = nameLength;
        message.lpBuffers = &buffer;
        message.dwBufferCount = 1;
        if (!NetAddress::any(d.local.family).sameHost(d.local)) {
            message.Control = WSABUF{sizeof control, control};
            WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message);
            if (d.local.family == AddressFamily::V6) {
                c->cmsg_level = IPPROTO_IPV6;
                c->cmsg_type = IPV6_PKTINFO;
                c->cmsg_len = WSA_CMSG_LEN(sizeof(IN6_PKTINFO));
                IN6_PKTINFO info{};
                std::memcpy(&info.ipi6_addr, d.local.bytes, 16);
                std::memcpy(WSA_CMSG_DATA(c), &info, sizeof info);
                message.Control.len = WSA_CMSG_SPACE(sizeof(IN6_PKTINFO));
            } else {
                c->cmsg_level = IPPROTO_IP;
                c->cmsg_type = IP_PKTINFO;
                c->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
                IN_PKTINFO info{};
                std::memcpy(&info.ipi_addr, d.local.bytes, 4);
                std::memcpy(WSA_CMSG_DATA(c), &info, sizeof info);
                message.Control.len = WSA_CMSG_SPACE(sizeof(IN_PKTINFO));
            }
        }
        DWORD bytes = 0;
        if (WSASendMsg(socketOf(fd_), &message, 0, &bytes, nullptr, nullptr) == 0) ++sent;
    }
    return sent;
}

int Socket::acceptConnections(Connection* into, int count) {
    for (;;) {
        if (state_->closed.load()) return -1;
        int taken = 0;
        int error = 0;
        while (taken < count) {
            sockaddr_storage sa{};
            int len = sizeof sa;
            const SOCKET s = ::accept(socketOf(fd_), reinterpret_cast<sockaddr*>(&sa), &len);
            if (s == INVALID_SOCKET) {
                error = WSAGetLastError();
                if (error == WSAECONNRESET) continue;
                break;
            }
            into[taken].handle = static_cast<intptr_t>(s);
            into[taken].peer = fromSockaddr(reinterpret_cast<const sockaddr*>(&sa));
            ++taken;
        }
        if (taken > 0) return taken;
        if (error != WSAEWOULDBLOCK) return 0;
        if (!waitFor(FD_ACCEPT)) return -1;
    }
}

void Socket::answerAndClose(const Connection& connection, const void* data, size_t size) {
    const SOCKET s = socketOf(connection.handle);
    (void)::send(s, static_cast<const char*>(data), lengthOf(size), 0);
    closesocket(s);
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

bool parseAddress(const std::string& text, NetAddress& out) {
    ensureLibrary();
    return parseAddressText(text, out);
}

std::vector<NetAddress> resolveAll(const std::string& name) {
    ensureLibrary();
    return lookUpAddresses(name);
}

std::vector<NetAddress> localInterfaceAddresses() {
    std::vector<NetAddress> out;
    ULONG size = 16 * 1024;
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::vector<unsigned char> buffer(size);
        auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
        const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
        const ULONG status = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr, adapters, &size);
        if (status == ERROR_BUFFER_OVERFLOW) continue;
        if (status != NO_ERROR) return out;
        for (const IP_ADAPTER_ADDRESSES* a = adapters; a != nullptr; a = a->Next) {
            for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
                const sockaddr* sa = u->Address.lpSockaddr;
                if (sa != nullptr && (sa->sa_family == AF_INET || sa->sa_family == AF_INET6)) {
                    out.push_back(fromSockaddr(sa));
                }
            }
        }
        break;
    }
    // The loopback addresses, which some systems leave out of the list.
    out.push_back(NetAddress::v4(kLoopback));
    return out;
}

std::string addressText(const NetAddress& address) {
    if (address.family == AddressFamily::V4) return dottedQuad(address.ipv4());
    ensureLibrary();
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, address.bytes, text, sizeof text);
    return text;
}

std::string reverseLookup(const NetAddress& address) {
    ensureLibrary();
    sockaddr_storage sa;
    const int len = toSockaddr(address, sa);
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&sa), len, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0) {
        return std::string();
    }
    return host;
}

int socketLibraryStart() {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data);
}

void socketLibraryStop() { WSACleanup(); }

}  // namespace tavrel::platform
