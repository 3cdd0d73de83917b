// Load for time servers on loopback: keeps N requests outstanding for a
// while and counts the valid replies. SNTP: 48-byte server replies whose
// originate timestamp matches the request. TIME: connections that deliver 4
// non-zero bytes. Prints "<replies per second>".
// Usage: bench_load sntp|time CONCURRENCY SECONDS
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in server(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

struct UdpSlot {
    int fd = -1;
    uint64_t stamp = 0;
    Clock::time_point sent;
};

void sendRequest(UdpSlot& slot, uint64_t stamp) {
    uint8_t request[48] = {};
    request[0] = 0x23;  // v4 client
    slot.stamp = stamp;
    for (int i = 0; i < 8; ++i) request[40 + i] = static_cast<uint8_t>(stamp >> (56 - 8 * i));
    (void)!send(slot.fd, request, sizeof request, 0);
    slot.sent = Clock::now();
}

long runSntp(int concurrency, double seconds) {
    std::vector<UdpSlot> slots(static_cast<size_t>(concurrency));
    std::vector<pollfd> fds;
    uint64_t stamp = 1;
    const sockaddr_in sa = server(123);
    for (UdpSlot& slot : slots) {
        slot.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        connect(slot.fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        fds.push_back({slot.fd, POLLIN, 0});
        sendRequest(slot, stamp++);
    }
    long valid = 0;
    const Clock::time_point end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        poll(fds.data(), fds.size(), 20);
        const Clock::time_point now = Clock::now();
        for (size_t i = 0; i < slots.size(); ++i) {
            UdpSlot& slot = slots[i];
            bool answered = false;
            // Only the sockets with something to read are read: the load
            // must not spend its time on empty receives.
            while ((fds[i].revents & POLLIN) != 0) {
                uint8_t reply[64];
                const ssize_t n = recv(slot.fd, reply, sizeof reply, 0);
                if (n < 0) break;
                uint64_t origin = 0;
                for (int b = 0; b < 8; ++b) origin = (origin << 8) | reply[24 + b];
                if (n == 48 && (reply[0] & 7) == 4 && origin == slot.stamp) {
                    ++valid;
                    answered = true;
                }
            }
            // A lost request is sent again after 200 ms.
            if (answered || now - slot.sent > std::chrono::milliseconds(200)) sendRequest(slot, stamp++);
        }
    }
    for (UdpSlot& slot : slots) close(slot.fd);
    return valid;
}

struct TcpSlot {
    int fd = -1;
    uint8_t got[4];
    size_t have = 0;
};

void openConnection(TcpSlot& slot) {
    const sockaddr_in sa = server(37);
    slot.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    slot.have = 0;
    connect(slot.fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
}

long runTime(int concurrency, double seconds) {
    std::vector<TcpSlot> slots(static_cast<size_t>(concurrency));
    for (TcpSlot& slot : slots) openConnection(slot);
    long valid = 0;
    const Clock::time_point end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<pollfd> fds(slots.size());
    while (Clock::now() < end) {
        for (size_t i = 0; i < slots.size(); ++i) fds[i] = {slots[i].fd, POLLIN, 0};
        poll(fds.data(), fds.size(), 20);
        for (size_t i = 0; i < slots.size(); ++i) {
            if (fds[i].revents == 0) continue;
            TcpSlot& slot = slots[i];
            const ssize_t n = recv(slot.fd, slot.got + slot.have, sizeof slot.got - slot.have, 0);
            if (n > 0) {
                slot.have += static_cast<size_t>(n);
                if (slot.have < sizeof slot.got) continue;
                uint32_t seconds = 0;
                std::memcpy(&seconds, slot.got, 4);
                if (seconds != 0) ++valid;
            } else if (n < 0 && errno == EAGAIN) {
                continue;
            }
            close(slot.fd);
            openConnection(slot);
        }
    }
    for (TcpSlot& slot : slots) close(slot.fd);
    return valid;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s sntp|time CONCURRENCY SECONDS\n", argv[0]);
        return 2;
    }
    const std::string kind = argv[1];
    const int concurrency = std::atoi(argv[2]);
    const double seconds = std::atof(argv[3]);
    const long valid = kind == "sntp" ? runSntp(concurrency, seconds) : runTime(concurrency, seconds);
    std::printf("%.0f\n", static_cast<double>(valid) / seconds);
    return 0;
}
