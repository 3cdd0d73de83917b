// IPv4 and IPv6 sockets, blocking as the callers expect, with one addition:
// close() from another thread wakes a call blocked on the socket at once,
// which is how a running query is aborted. The servers' calls take and send
// several datagrams or connections at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel::platform {

// IPv4 addresses are kept in host byte order.
using Ipv4Address = uint32_t;
inline constexpr Ipv4Address kLoopback = 0x7F000001;
inline constexpr Ipv4Address kAnyAddress = 0;

enum class AddressFamily { V4, V6 };

// An IPv4 or IPv6 address with a port.
struct NetAddress {
    AddressFamily family = AddressFamily::V4;
    uint8_t bytes[16] = {};  // network order; an IPv4 address in the first 4
    uint16_t port = 0;

    static NetAddress v4(Ipv4Address address, uint16_t port = 0);
    // The wildcard address of a family.
    static NetAddress any(AddressFamily family, uint16_t port = 0);
    Ipv4Address ipv4() const;
    // The same host (the ports aside).
    bool sameHost(const NetAddress& other) const;
    bool operator==(const NetAddress& other) const { return sameHost(other) && port == other.port; }
};

enum class SocketKind { Tcp, Udp };

// A datagram as the servers' batch calls move it: its first bytes, how long
// it really was, who sent it and the address it was sent to.
struct Datagram {
    static constexpr size_t kKept = 48;
    uint8_t bytes[kKept] = {};
    size_t size = 0;    // bytes kept
    size_t length = 0;  // the datagram's whole length
    NetAddress peer;
    NetAddress local;   // where it was sent to (with enableDestinationAddress)
};

// A connection taken by acceptConnections, answered by answerAndClose.
struct Connection {
    intptr_t handle = -1;
    NetAddress peer;
};

class Socket {
public:
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // A new socket, or nullptr when the system refuses one. IPv6 sockets
    // take IPv6 only.
    static std::shared_ptr<Socket> create(SocketKind kind, AddressFamily family = AddressFamily::V4);

    // Each call blocks until done, failed, or the socket is closed; a closed
    // socket fails every call.
    [[nodiscard]] bool connect(const NetAddress& address);
    // Bytes received, 0 when the peer closed, -1 on error or close.
    long receive(void* buffer, size_t size);
    // Bytes sent, or -1.
    long send(const void* data, size_t size);
    [[nodiscard]] bool setReuseAddress();
    // No other socket may take the port beside this one (Windows' default
    // would let one; Linux refuses without address reuse anyway).
    [[nodiscard]] bool setExclusiveAddress();
    [[nodiscard]] bool bind(const NetAddress& address);
    // kSystemBacklog: the longest queue the system allows.
    [[nodiscard]] bool listen(int backlog);
    static constexpr int kSystemBacklog = -1;
    // The next connection, or nullptr on error or close.
    std::shared_ptr<Socket> accept(NetAddress* peer = nullptr);
    long receiveFrom(void* buffer, size_t size, NetAddress& peer);
    long sendTo(const void* data, size_t size, const NetAddress& peer);
    // The local port after bind (useful with port 0), or 0.
    uint16_t localPort() const;
    // The local address and port (after connect, the one the system chose
    // to reach the peer); the family's wildcard when unknown.
    NetAddress localAddress() const;

    // The servers' calls. Datagrams then carry the address each was sent to.
    [[nodiscard]] bool enableDestinationAddress();
    // Lets receiveDatagrams sleep in the receive itself (one system call
    // a wake-up instead of two) on a socket used by the batch calls alone.
    void enableBlockingBatches();
    // Waits until datagrams wait (or the socket is closed), then takes up to
    // `count` of them without waiting again; how many, -1 once closed.
    // `likelyEmpty` (the last batch was short) waits before trying.
    int receiveDatagrams(Datagram* into, int count, bool likelyEmpty = false);
    // Sends each one's bytes to its peer from its local address (the one
    // the request was sent to); how many were sent.
    int sendDatagrams(const Datagram* replies, int count);
    // Waits until connections wait (or the socket is closed), then takes up
    // to `count` of them; how many, -1 once closed. 0 when connections wait
    // but none could be taken (the process or the system is out of
    // descriptors or memory): they stay queued, and the caller pauses
    // before it tries again, or it would spin.
    int acceptConnections(Connection* into, int count);
    // Sends the bytes without waiting and closes the connection.
    static void answerAndClose(const Connection& connection, const void* data, size_t size);

    // From now on, calls that wait give up (fail) once `ms` milliseconds
    // have passed; -1 lifts the limit.
    void setWaitLimit(int ms);

    // Closes the socket; any call blocked on it in another thread returns
    // with failure. Safe to call more than once and from any thread.
    void close();

private:
    // fd_ is the socket and wakeFd_ what close() signals to end a wait (on
    // Linux descriptors, on Windows a SOCKET and an event HANDLE).
    Socket(intptr_t fd, intptr_t wakeFd, AddressFamily family);
    // Wraps a socket just made by socket() or accept() with its wake-up;
    // closes it and gives null when the wake-up cannot be made.
    static std::shared_ptr<Socket> adopt(intptr_t fd, AddressFamily family);
    // Waits until fd is ready for `events` or the socket is closed.
    bool waitFor(short events);
    intptr_t fd_;
    intptr_t wakeFd_;
    AddressFamily family_;
    struct State;
    std::unique_ptr<State> state_;
};

// The dotted-quad address (also the shorter inet_addr forms); false when the
// text is no address.
bool parseIpv4Address(const std::string& text, Ipv4Address& out);
// A numeric IPv4 or IPv6 address ("127.0.0.1", "::1", "[2001:db8::1]").
bool parseAddress(const std::string& text, NetAddress& out);
// The addresses of this computer's network interfaces, loopback included
// (empty when the system will not tell).
std::vector<NetAddress> localInterfaceAddresses();

// The first IPv4 address the resolver gives for a name.
bool resolveFirstIpv4(const std::string& name, Ipv4Address& out);
// Every address the resolver gives for a name, IPv6 and IPv4, in its order.
std::vector<NetAddress> resolveAll(const std::string& name);
// True for exactly four decimal numbers 0..255 joined by dots, as the IP
// address control takes them ("192.168.0.1", not "999.1" or "1.2").
bool isDottedQuad(std::string_view text);
// The address as "a.b.c.d".
std::string dottedQuad(Ipv4Address address);
// An address's text: "a.b.c.d" or the IPv6 form ("::1").
std::string addressText(const NetAddress& address);
// The host name registered for an address, or empty.
std::string reverseLookup(const NetAddress& address);

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
