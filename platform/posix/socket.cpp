#include "platform/socket.h"

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <optional>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/sockaddr_convert.h"

namespace tavrel::platform {

struct Socket::State {
    std::atomic<bool> closed{false};
    bool blockingBatches = false;
    // When waits give up (setWaitLimit); none while unset.
    std::optional<std::chrono::steady_clock::time_point> waitDeadline;
};

namespace {

// The largest number of messages one batch call moves.
constexpr int kMostInBatch = 64;

// The destination of a received datagram, from its IP_PKTINFO or
// IPV6_PKTINFO control message.
void readDestination(msghdr& message, NetAddress& local) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            local.family = AddressFamily::V4;
            std::memcpy(local.bytes, &info.ipi_addr, 4);
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            local.family = AddressFamily::V6;
            std::memcpy(local.bytes, &info.ipi6_addr, 16);
        }
    }
}

// The control message that makes a reply leave from `local`.
size_t writeSource(const NetAddress& local, char* buffer, size_t room) {
    msghdr message{};
    message.msg_control = buffer;
    message.msg_controllen = room;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    if (local.family == AddressFamily::V6) {
        c->cmsg_level = IPPROTO_IPV6;
        c->cmsg_type = IPV6_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
        in6_pktinfo info{};
        std::memcpy(&info.ipi6_addr, local.bytes, 16);
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
        return CMSG_SPACE(sizeof(in6_pktinfo));
    }
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    std::memcpy(&info.ipi_spec_dst, local.bytes, 4);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    return CMSG_SPACE(sizeof(in_pktinfo));
}

constexpr size_t kControlRoom = CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo));

// Fills datagrams from a batch the system delivered.
int takeBatch(AddressFamily family, mmsghdr* messages, const sockaddr_storage* names, int n, Datagram* into) {
    for (int i = 0; i < n; ++i) {
        Datagram& d = into[i];
        d.length = messages[i].msg_len;
        d.size = d.length < Datagram::kKept ? d.length : Datagram::kKept;
        d.peer = fromSockaddr(reinterpret_cast<const sockaddr*>(&names[i]));
        d.local = NetAddress::any(family);
        readDestination(messages[i].msg_hdr, d.local);
    }
    return n;
}

// The descriptor kept in the handle-sized word the socket's header shares
// with Windows: on Linux it always is an int.
int fdOf(intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

Socket::Socket(intptr_t fd, intptr_t wakeFd, AddressFamily family)
    : fd_(fd), wakeFd_(wakeFd), family_(family), state_(std::make_unique<State>()) {}

Socket::~Socket() {
    ::close(fdOf(fd_));
    ::close(fdOf(wakeFd_));
}

std::shared_ptr<Socket> Socket::create(SocketKind kind, AddressFamily family) {
    const int type = kind == SocketKind::Tcp ? SOCK_STREAM : SOCK_DGRAM;
    const int domain = family == AddressFamily::V6 ? AF_INET6 : AF_INET;
    const int fd = ::socket(domain, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (family == AddressFamily::V6) {
        const int on = 1;
        (void)setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    return adopt(fd, family);
}

std::shared_ptr<Socket> Socket::adopt(intptr_t fd, AddressFamily family) {
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        ::close(static_cast<int>(fd));
        return nullptr;
    }
    return std::shared_ptr<Socket>(new Socket(fd, wake, family));
}

void Socket::close() {
    if (state_->closed.exchange(true)) return;
    // The descriptor stays open until the last owner lets go, so a blocked
    // call never meets a reused descriptor number; the wake-up ends its wait.
    ::shutdown(fdOf(fd_), SHUT_RDWR);
    const uint64_t one = 1;
    (void)!::write(fdOf(wakeFd_), &one, sizeof one);
}

void Socket::setWaitLimit(int ms) {
    if (ms < 0) {
        state_->waitDeadline.reset();
    } else {
        state_->waitDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    }
}

bool Socket::waitFor(short events) {
    for (;;) {
        if (state_->closed.load()) return false;
        int timeout = -1;
        if (state_->waitDeadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*state_->waitDeadline -
                                                                          std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            timeout = static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX));
        }
        pollfd fds[2] = {{fdOf(fd_), events, 0}, {fdOf(wakeFd_), POLLIN, 0}};
        const int n = ::poll(fds, 2, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (state_->closed.load() || (fds[1].revents & POLLIN) != 0) return false;
        if (fds[0].revents != 0) return true;
    }
}

bool Socket::connect(const NetAddress& address) {
    if (state_->closed.load()) return false;
    sockaddr_storage sa;
    const auto len = static_cast<socklen_t>(toSockaddr(address, sa));
    if (::connect(fdOf(fd_), reinterpret_cast<const sockaddr*>(&sa), len) == 0) return true;
    if (errno != EINPROGRESS && errno != EINTR) return false;
    if (!waitFor(POLLOUT)) return false;
    int error = 0;
    socklen_t errorLen = sizeof error;
    if (getsockopt(fdOf(fd_), SOL_SOCKET, SO_ERROR, &error, &errorLen) != 0) return false;
    return error == 0;
}

long Socket::receive(void* buffer, size_t size) {
    for (;;) {
        if (state_->closed.load()) return -1;
        const ssize_t n = ::recv(fdOf(fd_), buffer, size, 0);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!waitFor(POLLIN)) return -1;
    }
}

long Socket::send(const void* data, size_t size) {
    for (;;) {
        if (state_->closed.load()) return -1;
        const ssize_t n = ::send(fdOf(fd_), data, size, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!waitFor(POLLOUT)) return -1;
    }
}

bool Socket::setReuseAddress() {
    const int on = 1;
    return setsockopt(fdOf(fd_), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

// Linux never lets two sockets bind one port without SO_REUSEADDR or
// SO_REUSEPORT on both: a socket that sets neither holds its port alone.
bool Socket::setExclusiveAddress() { return true; }

bool Socket::bind(const NetAddress& address) {
    sockaddr_storage sa;
    const auto len = static_cast<socklen_t>(toSockaddr(address, sa));
    return ::bind(fdOf(fd_), reinterpret_cast<const sockaddr*>(&sa), len) == 0;
}

bool Socket::listen(int backlog) { return ::listen(fdOf(fd_), backlog < 0 ? SOMAXCONN : backlog) == 0; }

std::shared_ptr<Socket> Socket::accept(NetAddress* peer) {
    for (;;) {
        if (state_->closed.load()) return nullptr;
        sockaddr_storage sa{};
        socklen_t len = sizeof sa;
        const int fd = ::accept4(fdOf(fd_), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            if (peer != nullptr) *peer = fromSockaddr(reinterpret_cast<const sockaddr*>(&sa));
            return adopt(fd, family_);
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return nullptr;
        if (!waitFor(POLLIN)) return nullptr;
    }
}

long Socket::receiveFrom(void* buffer, size_t size, NetAddress& peer) {
    for (;;) {
        if (state_->closed.load()) return -1;
        sockaddr_storage sa{};
        socklen_t len = sizeof sa;
        const ssize_t n = ::recvfrom(fdOf(fd_), buffer, size, 0, reinterpret_cast<sockaddr*>(&sa), &len);
        if (n >= 0) {
            peer = fromSockaddr(reinterpret_cast<const sockaddr*>(&sa));
            return static_cast<long>(n);
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!waitFor(POLLIN)) return -1;
    }
}

long Socket::sendTo(const void* data, size_t size, const NetAddress& peer) {
    sockaddr_storage sa;
    const auto len = static_cast<socklen_t>(toSockaddr(peer, sa));
    for (;;) {
        if (state_->closed.load()) return -1;
        const ssize_t n = ::sendto(fdOf(fd_), data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), len);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!waitFor(POLLOUT)) return -1;
    }
}

uint16_t Socket::localPort() const { return localAddress().port; }

NetAddress Socket::localAddress() const {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fdOf(fd_), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return NetAddress::any(family_);
    return fromSockaddr(reinterpret_cast<const sockaddr*>(&sa));
}

bool Socket::enableDestinationAddress() {
    const int on = 1;
    return family_ == AddressFamily::V6 ? setsockopt(fdOf(fd_), IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) == 0
                                        : setsockopt(fdOf(fd_), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0;
}

void Socket::enableBlockingBatches() {
    const int flags = fcntl(fdOf(fd_), F_GETFL);
    if (flags >= 0 && fcntl(fdOf(fd_), F_SETFL, flags & ~O_NONBLOCK) == 0) state_->blockingBatches = true;
}

int Socket::receiveDatagrams(Datagram* into, int count, bool likelyEmpty) {
    if (count > kMostInBatch) count = kMostInBatch;
    mmsghdr messages[kMostInBatch] = {};
    iovec vectors[kMostInBatch];
    sockaddr_storage names[kMostInBatch];
    alignas(cmsghdr) char controls[kMostInBatch][kControlRoom];
    for (int i = 0; i < count; ++i) {
        vectors[i] = iovec{into[i].bytes, Datagram::kKept};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &names[i];
        messages[i].msg_hdr.msg_namelen = sizeof names[i];
        messages[i].msg_hdr.msg_control = controls[i];
        messages[i].msg_hdr.msg_controllen = sizeof controls[i];
    }
    if (likelyEmpty && state_->blockingBatches) {
        // Sleeps in the receive; close() (shutdown) wakes it with nothing.
        for (;;) {
            if (state_->closed.load()) return -1;
            const int n = ::recvmmsg(fdOf(fd_), messages, static_cast<unsigned>(count), MSG_WAITFORONE | MSG_TRUNC, nullptr);
            if (n > 0) return takeBatch(family_, messages, names, n, into);
            if (n == 0 || errno != EINTR) break;
        }
        if (state_->closed.load()) return -1;
    } else if (likelyEmpty && !waitFor(POLLIN)) {
        return -1;
    }
    for (;;) {
        if (state_->closed.load()) return -1;
        // MSG_TRUNC: each length is the datagram's own, not what was kept.
        const int n = ::recvmmsg(fdOf(fd_), messages, static_cast<unsigned>(count), MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (n > 0) return takeBatch(family_, messages, names, n, into);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return 0;  // a passing error: nothing taken
        if (!waitFor(POLLIN)) return -1;
    }
}

int Socket::sendDatagrams(const Datagram* replies, int count) {
    if (count > kMostInBatch) count = kMostInBatch;
    mmsghdr messages[kMostInBatch] = {};
    iovec vectors[kMostInBatch];
    sockaddr_storage names[kMostInBatch];
    alignas(cmsghdr) char controls[kMostInBatch][kControlRoom];
    for (int i = 0; i < count; ++i) {
        vectors[i] = iovec{const_cast<uint8_t*>(replies[i].bytes), replies[i].size};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &names[i];
        messages[i].msg_hdr.msg_namelen = static_cast<socklen_t>(toSockaddr(replies[i].peer, names[i]));
        const bool unspecified = NetAddress::any(replies[i].local.family).sameHost(replies[i].local);
        if (!unspecified) {
            std::memset(controls[i], 0, sizeof controls[i]);
            messages[i].msg_hdr.msg_control = controls[i];
            messages[i].msg_hdr.msg_controllen = writeSource(replies[i].local, controls[i], sizeof controls[i]);
        }
    }
    int sent = 0;
    while (sent < count) {
        if (state_->closed.load()) break;
        const int n = ::sendmmsg(fdOf(fd_), messages + sent, static_cast<unsigned>(count - sent), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(POLLOUT)) break;
        } else {
            ++sent;  // this one cannot go (an unreachable peer): the others still do
        }
    }
    return sent;
}

int Socket::acceptConnections(Connection* into, int count) {
    for (;;) {
        if (state_->closed.load()) return -1;
        int taken = 0;
        while (taken < count) {
            sockaddr_storage sa{};
            socklen_t len = sizeof sa;
            const int fd = ::accept4(fdOf(fd_), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                break;
            }
            into[taken].handle = fd;
            into[taken].peer = fromSockaddr(reinterpret_cast<const sockaddr*>(&sa));
            ++taken;
        }
        if (taken > 0) return taken;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return 0;  // e.g. out of descriptors for a moment
        if (!waitFor(POLLIN)) return -1;
    }
}

void Socket::answerAndClose(const Connection& connection, const void* data, size_t size) {
    const int fd = static_cast<int>(connection.handle);
    (void)::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    ::close(fd);
}

bool parseIpv4Address(const std::string& text, Ipv4Address& out) {
    in_addr addr{};
    if (inet_aton(text.c_str(), &addr) == 0) return false;
    out = ntohl(addr.s_addr);
    return true;
}

bool parseAddress(const std::string& text, NetAddress& out) {
    return parseAddressText(text, out);
}

bool resolveFirstIpv4(const std::string& name, Ipv4Address& out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return false;
    out = ntohl(reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(result);
    return true;
}

std::vector<NetAddress> resolveAll(const std::string& name) { return lookUpAddresses(name); }

std::vector<NetAddress> localInterfaceAddresses() {
    std::vector<NetAddress> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        const sockaddr* sa = entry->ifa_addr;
        if (sa != nullptr && (sa->sa_family == AF_INET || sa->sa_family == AF_INET6)) out.push_back(fromSockaddr(sa));
    }
    freeifaddrs(list);
    return out;
}

std::string addressText(const NetAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.family == AddressFamily::V6) {
        inet_ntop(AF_INET6, address.bytes, text, sizeof text);
        return text;
    }
    return dottedQuad(address.ipv4());
}

std::string reverseLookup(const NetAddress& address) {
    sockaddr_storage sa;
    const auto len = static_cast<socklen_t>(toSockaddr(address, sa));
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&sa), len, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0) {
        return std::string();
    }
    return host;
}

int socketLibraryStart() { return 0; }
void socketLibraryStop() {}

}  // namespace tavrel::platform
