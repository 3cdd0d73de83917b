#include "platform/socket.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavrel::platform {

struct Socket::State {
    std::atomic<bool> closed{false};
};

namespace {

sockaddr_in makeAddress(Ipv4Address address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    return sa;
}

}  // namespace

Socket::Socket(intptr_t fd, intptr_t wakeFd) : fd_(fd), wakeFd_(wakeFd), state_(std::make_unique<State>()) {}

Socket::~Socket() {
    ::close(fd_);
    ::close(wakeFd_);
}

std::shared_ptr<Socket> Socket::create(SocketKind kind) {
    const int type = kind == SocketKind::Tcp ? SOCK_STREAM : SOCK_DGRAM;
    const int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    return adopt(fd);
}

std::shared_ptr<Socket> Socket::adopt(intptr_t fd) {
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        ::close(static_cast<int>(fd));
        return nullptr;
    }
    return std::shared_ptr<Socket>(new Socket(fd, wake));
}

void Socket::close() {
    if (state_->closed.exchange(true)) return;
    // The descriptor stays open until the last owner lets go, so a blocked
    // call never meets a reused descriptor number; the wake-up ends its wait.
    ::shutdown(fd_, SHUT_RDWR);
    const uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
}

bool Socket::waitFor(short events) {
    for (;;) {
        if (state_->closed.load()) return false;
        pollfd fds[2] = {{static_cast<int>(fd_), events, 0}, {static_cast<int>(wakeFd_), POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (state_->closed.load() || (fds[1].revents & POLLIN) != 0) return false;
        if (fds[0].revents != 0) return true;
    }
}

bool Socket::connect(Ipv4Address address, uint16_t port) {
    if (state_->closed.load()) return false;
    const sockaddr_in sa = makeAddress(address, port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return true;
    if (errno != EINPROGRESS && errno != EINTR) return false;
    if (!waitFor(POLLOUT)) return false;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return false;
    return error == 0;
}

long Socket::receive(void* buffer, size_t size) {
    for (;;) {
        if (state_->closed.load()) return -1;
        const ssize_t n = ::recv(fd_, buffer, size, 0);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!waitFor(POLLIN)) return -1;
    }
}

long Socket::send(const void* data, size_t size) {
    for (;;) {
        if (state_->closed.load()) return -1;
        const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!waitFor(POLLOUT)) return -1;
    }
}

bool Socket::setReuseAddress() {
    const int on = 1;
    return setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool Socket::bind(Ipv4Address address, uint16_t port) {
    const sockaddr_in sa = makeAddress(address, port);
    return ::bind(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool Socket::listen(int backlog) { return ::listen(fd_, backlog) == 0; }

std::shared_ptr<Socket> Socket::accept(Ipv4Address* peer) {
    for (;;) {
        if (state_->closed.load()) return nullptr;
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        const int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            if (peer != nullptr) *peer = ntohl(sa.sin_addr.s_addr);
            return adopt(fd);
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return nullptr;
        if (!waitFor(POLLIN)) return nullptr;
    }
}

long Socket::receiveFrom(void* buffer, size_t size, Ipv4Address& peer, uint16_t& peerPort) {
    for (;;) {
        if (state_->closed.load()) return -1;
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        const ssize_t n = ::recvfrom(fd_, buffer, size, 0, reinterpret_cast<sockaddr*>(&sa), &len);
        if (n >= 0) {
            peer = ntohl(sa.sin_addr.s_addr);
            peerPort = ntohs(sa.sin_port);
            return static_cast<long>(n);
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!waitFor(POLLIN)) return -1;
    }
}

long Socket::sendTo(const void* data, size_t size, Ipv4Address peer, uint16_t peerPort) {
    const sockaddr_in sa = makeAddress(peer, peerPort);
    for (;;) {
        if (state_->closed.load()) return -1;
        const ssize_t n =
            ::sendto(fd_, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!waitFor(POLLOUT)) return -1;
    }
}

uint16_t Socket::localPort() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

bool parseIpv4Address(const std::string& text, Ipv4Address& out) {
    in_addr addr{};
    if (inet_aton(text.c_str(), &addr) == 0) return false;
    out = ntohl(addr.s_addr);
    return true;
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

std::string reverseLookup(Ipv4Address address) {
    const sockaddr_in sa = makeAddress(address, 0);
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0) {
        return std::string();
    }
    return host;
}

int socketLibraryStart() { return 0; }
void socketLibraryStop() {}

}  // namespace tavrel::platform
