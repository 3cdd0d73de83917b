// IPv4 sockets, blocking as the callers expect, with one addition: close()
// from another thread wakes a call blocked on the socket at once, which is
// how a running query is aborted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tavrel::platform {

// IPv4 addresses are kept in host byte order.
using Ipv4Address = uint32_t;
inline constexpr Ipv4Address kLoopback = 0x7F000001;
inline constexpr Ipv4Address kAnyAddress = 0;

enum class SocketKind { Tcp, Udp };

class Socket {
public:
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // A new socket, or nullptr when the system refuses one.
    static std::shared_ptr<Socket> create(SocketKind kind);

    // Each call blocks until done, failed, or the socket is closed; a closed
    // socket fails every call.
    [[nodiscard]] bool connect(Ipv4Address address, uint16_t port);
    // Bytes received, 0 when the peer closed, -1 on error or close.
    long receive(void* buffer, size_t size);
    // Bytes sent, or -1.
    long send(const void* data, size_t size);
    [[nodiscard]] bool setReuseAddress();
    [[nodiscard]] bool bind(Ipv4Address address, uint16_t port);
    [[nodiscard]] bool listen(int backlog);
    // The next connection, or nullptr on error or close.
    std::shared_ptr<Socket> accept(Ipv4Address* peer = nullptr);
    long receiveFrom(void* buffer, size_t size, Ipv4Address& peer, uint16_t& peerPort);
    long sendTo(const void* data, size_t size, Ipv4Address peer, uint16_t peerPort);
    // The local port after bind (useful with port 0), or 0.
    uint16_t localPort() const;

    // Closes the socket; any call blocked on it in another thread returns
    // with failure. Safe to call more than once and from any thread.
    void close();

private:
    // fd_ is the socket and wakeFd_ what close() signals to end a wait (on
    // Linux descriptors, on Windows a SOCKET and an event HANDLE).
    Socket(intptr_t fd, intptr_t wakeFd);
    // Wraps a socket just made by socket() or accept() with its wake-up;
    // closes it and gives null when the wake-up cannot be made.
    static std::shared_ptr<Socket> adopt(intptr_t fd);
    // Waits until fd is ready for `events` or the socket is closed.
    bool waitFor(short events);
    intptr_t fd_;
    intptr_t wakeFd_;
    struct State;
    std::unique_ptr<State> state_;
};

// The dotted-quad address (also the shorter inet_addr forms); false when the
// text is no address.
bool parseIpv4Address(const std::string& text, Ipv4Address& out);
// The first IPv4 address the resolver gives for a name.
bool resolveFirstIpv4(const std::string& name, Ipv4Address& out);
// True for exactly four decimal numbers 0..255 joined by dots, as the IP
// address control takes them ("192.168.0.1", not "999.1" or "1.2").
bool isDottedQuad(std::string_view text);
// The address as "a.b.c.d".
std::string dottedQuad(Ipv4Address address);
// The host name registered for an address, or empty.
std::string reverseLookup(Ipv4Address address);

// The socket library's start and clean-up (nothing to do on Linux; Winsock
// on Windows, where the calls pair up). 0 means success.
int socketLibraryStart();
void socketLibraryStop();

// Holds the socket library started for as long as it lives; every query
// and server holds one, so none pulls the library from under another.
class SocketLibraryUse {
public:
    SocketLibraryUse() : started_(socketLibraryStart() == 0) {}
    ~SocketLibraryUse() {
        if (started_) socketLibraryStop();
    }
    SocketLibraryUse(const SocketLibraryUse&) = delete;
    SocketLibraryUse& operator=(const SocketLibraryUse&) = delete;
    bool ready() const { return started_; }

private:
    bool started_;
};

}  // namespace tavrel::platform
