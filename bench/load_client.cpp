// Load for time servers: keeps N requests outstanding at one server address
// for a while and counts the valid replies. SNTP: 48-byte server replies
// from the target whose originate timestamp is one this client sent and
// whose stratum is not 0 (a stratum-0 reply is a kiss-o'-death, a refusal).
// TIME: connections that deliver 4 non-zero bytes.
//
// The requests can come from many source addresses in turn (--from with a
// prefix), so that a server which limits each client address's rate sees
// every address ask only a few times; the addresses must be local (for
// example a `local` route for the prefix on lo).
//
// Prints "<replies per second>", or with --tally "<sent> <answered>
// <refused>" (refused: kiss-o'-death replies; the rest had no reply).
//
// Usage: bench_load sntp|time TARGET CONCURRENCY SECONDS [--from A.B.C.D[/N]]
//                  [--timeout MS] [--every MS] [--tally]
//   --from     the source address, or every address of the prefix in turn
//              (those ending in .0 or .255 skipped); default: the system's
//   --timeout  an SNTP request unanswered this long is given up and the
//              slot's next one sent (default 200)
//   --every    a slot sends its next request no sooner than this long after
//              its last one (default 0: as soon as the last is done)
//   --tally    count requests instead of replies per second; at the end no
//              more are sent and the outstanding ones get their timeout
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// Source addresses handed out in turn; an empty set leaves the choice to
// the system.
class Sources {
public:
    bool parse(const std::string& text) {
        const size_t slash = text.find('/');
        in_addr a{};
        if (inet_pton(AF_INET, text.substr(0, slash).c_str(), &a) != 1) return false;
        int bits = 32;
        if (slash != std::string::npos) {
            bits = std::atoi(text.c_str() + slash + 1);
            if (bits < 8 || bits > 32) return false;
        }
        const uint64_t size = uint64_t{1} << (32 - bits);
        count_ = size;
        base_ = ntohl(a.s_addr) & ~static_cast<uint32_t>(size - 1);
        single_ = bits == 32;
        return true;
    }
    bool any() const { return count_ == 0; }
    // The next source address, network byte order.
    uint32_t next() {
        for (;;) {
            const uint32_t host = base_ + static_cast<uint32_t>(index_++ % count_);
            const uint32_t last = host & 0xff;
            if (single_ || (last != 0 && last != 0xff)) return htonl(host);
        }
    }

private:
    uint32_t base_ = 0;
    uint64_t count_ = 0;
    uint64_t index_ = 0;
    bool single_ = false;
};

struct Options {
    std::string kind;
    sockaddr_in target{};
    int concurrency = 1;
    double seconds = 1;
    Sources sources;
    Millis timeout{200};
    Millis every{0};
    bool tally = false;
};

// What became of each request, by its number (the SNTP stamp).
enum class Fate : uint8_t { Sent, Answered, Refused };

struct Counts {
    long sent = 0;
    long answered = 0;
    long refused = 0;
};

struct UdpSlot {
    int fd = -1;
    uint64_t stamp = 0;
    bool waiting = false;  // a request of this slot's is outstanding
    Clock::time_point sent;
};

class SntpLoad {
public:
    explicit SntpLoad(Options& options) : o_(options) {}

    Counts run() {
        std::vector<UdpSlot> slots(static_cast<size_t>(o_.concurrency));
        std::vector<pollfd> fds;
        for (UdpSlot& slot : slots) {
            // Not connected: a connected socket takes replies only at the
            // address it was connected from, and the source changes with
            // every request.
            slot.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
            sockaddr_in any{};
            any.sin_family = AF_INET;
            (void)bind(slot.fd, reinterpret_cast<const sockaddr*>(&any), sizeof any);
            fds.push_back({slot.fd, POLLIN, 0});
            send(slot);
        }
        const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                         std::chrono::duration<double>(o_.seconds));
        for (;;) {
            const Clock::time_point before = Clock::now();
            const bool sending = before < end;
            if (!sending && (!o_.tally || std::none_of(slots.begin(), slots.end(),
                                                       [](const UdpSlot& s) { return s.waiting; }))) {
                break;
            }
            poll(fds.data(), fds.size(), 20);
            const Clock::time_point now = Clock::now();
            for (size_t i = 0; i < slots.size(); ++i) {
                UdpSlot& slot = slots[i];
                // Only the sockets with something to read are read: the
                // load must not spend its time on empty receives.
                if ((fds[i].revents & POLLIN) != 0) receive(slot);
                if (slot.waiting && now - slot.sent > o_.timeout) slot.waiting = false;
                if (!slot.waiting && sending && now - slot.sent >= o_.every) send(slot);
            }
        }
        for (UdpSlot& slot : slots) close(slot.fd);
        return counts_;
    }

private:
    void send(UdpSlot& slot) {
        fates_.push_back(Fate::Sent);
        const uint64_t stamp = fates_.size();  // numbered from 1
        uint8_t request[48] = {};
        request[0] = 0x23;  // v4 client
        for (int i = 0; i < 8; ++i) request[40 + i] = static_cast<uint8_t>(stamp >> (56 - 8 * i));
        iovec iov{request, sizeof request};
        msghdr msg{};
        msg.msg_name = &o_.target;
        msg.msg_namelen = sizeof o_.target;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        if (!o_.sources.any()) {
            // The source address of this one datagram.
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = IPPROTO_IP;
            c->cmsg_type = IP_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo info{};
            info.ipi_spec_dst.s_addr = o_.sources.next();
            std::memcpy(CMSG_DATA(c), &info, sizeof info);
        }
        (void)!sendmsg(slot.fd, &msg, 0);
        ++counts_.sent;
        slot.stamp = stamp;
        slot.waiting = true;
        slot.sent = Clock::now();
    }

    void receive(UdpSlot& slot) {
        for (;;) {
            uint8_t reply[64];
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n =
                recvfrom(slot.fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0) return;
            if (from.sin_addr.s_addr != o_.target.sin_addr.s_addr || from.sin_port != o_.target.sin_port) continue;
            if (n != 48 || (reply[0] & 7) != 4) continue;
            uint64_t origin = 0;
            for (int b = 0; b < 8; ++b) origin = (origin << 8) | reply[24 + b];
            if (origin == 0 || origin > fates_.size() || fates_[origin - 1] != Fate::Sent) continue;
            // A late reply to a request already given up still counts: the
            // server did answer it.
            if (reply[1] == 0) {
                fates_[origin - 1] = Fate::Refused;
                ++counts_.refused;
            } else {
                fates_[origin - 1] = Fate::Answered;
                ++counts_.answered;
            }
            if (origin == slot.stamp) slot.waiting = false;
        }
    }

    Options& o_;
    std::vector<Fate> fates_;
    Counts counts_;
};

struct TcpSlot {
    int fd = -1;
    uint8_t got[4];
    size_t have = 0;
    Clock::time_point opened;
};

// A TIME connection that has delivered nothing for this long is given up
// (its SYN or reply lost; the system would keep trying much longer).
constexpr Millis kTimeGiveUp{5000};

void openConnection(TcpSlot& slot, Options& o) {
    slot.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    slot.have = 0;
    slot.opened = Clock::now();
    if (!o.sources.any()) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = o.sources.next();
        (void)bind(slot.fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
    }
    connect(slot.fd, reinterpret_cast<const sockaddr*>(&o.target), sizeof o.target);
}

Counts runTime(Options& o) {
    std::vector<TcpSlot> slots(static_cast<size_t>(o.concurrency));
    Counts counts;
    for (TcpSlot& slot : slots) {
        openConnection(slot, o);
        ++counts.sent;
    }
    const Clock::time_point end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
    std::vector<pollfd> fds(slots.size());
    while (Clock::now() < end) {
        for (size_t i = 0; i < slots.size(); ++i) fds[i] = {slots[i].fd, POLLIN, 0};
        poll(fds.data(), fds.size(), 20);
        const Clock::time_point now = Clock::now();
        for (size_t i = 0; i < slots.size(); ++i) {
            TcpSlot& slot = slots[i];
            if (fds[i].revents == 0) {
                if (now - slot.opened < kTimeGiveUp) continue;
            } else {
                const ssize_t n = recv(slot.fd, slot.got + slot.have, sizeof slot.got - slot.have, 0);
                if (n > 0) {
                    slot.have += static_cast<size_t>(n);
                    if (slot.have < sizeof slot.got) continue;
                    uint32_t seconds = 0;
                    std::memcpy(&seconds, slot.got, 4);
                    if (seconds != 0) ++counts.answered;
                } else if (n < 0 && errno == EAGAIN) {
                    continue;
                }
            }
            close(slot.fd);
            openConnection(slot, o);
            ++counts.sent;
        }
    }
    for (TcpSlot& slot : slots) close(slot.fd);
    return counts;
}

int usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s sntp|time TARGET CONCURRENCY SECONDS [--from A.B.C.D[/N]] [--timeout MS] "
                 "[--every MS] [--tally]\n",
                 program);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) return usage(argv[0]);
    Options o;
    o.kind = argv[1];
    if (o.kind != "sntp" && o.kind != "time") return usage(argv[0]);
    o.target.sin_family = AF_INET;
    o.target.sin_port = htons(o.kind == "sntp" ? 123 : 37);
    if (inet_pton(AF_INET, argv[2], &o.target.sin_addr) != 1) return usage(argv[0]);
    o.concurrency = std::atoi(argv[3]);
    o.seconds = std::atof(argv[4]);
    if (o.concurrency < 1 || o.seconds <= 0) return usage(argv[0]);
    for (int i = 5; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--tally") {
            o.tally = true;
        } else if (i + 1 < argc && option == "--from") {
            if (!o.sources.parse(argv[++i])) return usage(argv[0]);
        } else if (i + 1 < argc && option == "--timeout") {
            o.timeout = Millis(std::atoi(argv[++i]));
        } else if (i + 1 < argc && option == "--every") {
            o.every = Millis(std::atoi(argv[++i]));
        } else {
            return usage(argv[0]);
        }
    }
    const Counts counts = o.kind == "sntp" ? SntpLoad(o).run() : runTime(o);
    if (o.tally) {
        std::printf("%ld %ld %ld\n", counts.sent, counts.answered, counts.refused);
    } else {
        std::printf("%.0f\n", static_cast<double>(counts.answered) / o.seconds);
    }
    return 0;
}
