// The path relay as a program, for the benchmarks' shell scripts: forwards
// UDP or TCP from one loopback address to another through a path with the
// delays, jitter and loss given, until it is ended or its time is up.
//
// Usage: path_relay udp|tcp LISTEN_ADDRESS:PORT TARGET_ADDRESS:PORT
//                   [--out D] [--in D] [--jitter D] [--loss SHARE] [--seed N] [--seconds S]
//   D: a duration such as 30ms, 250us or 1s. Prints "ready PORT" once it
//   listens (PORT 0 in LISTEN asks for any free port), and at its end
//   "passed OUT IN lost OUT IN".
#include <arpa/inet.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/path_relay.h"

namespace {

volatile sig_atomic_t ended = 0;
void onSignal(int) { ended = 1; }

bool parseEndpoint(const std::string& text, uint32_t& address, uint16_t& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    in_addr a{};
    if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &a) != 1) return false;
    const unsigned long p = std::strtoul(text.c_str() + colon + 1, nullptr, 10);
    if (p > 65535) return false;
    address = ntohl(a.s_addr);
    port = static_cast<uint16_t>(p);
    return true;
}

int usage() {
    std::fprintf(stderr,
                 "usage: path_relay udp|tcp LISTEN_ADDRESS:PORT TARGET_ADDRESS:PORT [--out D] [--in D] "
                 "[--jitter D] [--loss SHARE] [--seed N] [--seconds S]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tavrel::test;
    if (argc < 4) return usage();
    const std::string kind = argv[1];
    if (kind != "udp" && kind != "tcp") return usage();
    uint32_t listenAddress = 0, targetAddress = 0;
    uint16_t listenPort = 0, targetPort = 0;
    if (!parseEndpoint(argv[2], listenAddress, listenPort) || !parseEndpoint(argv[3], targetAddress, targetPort)) {
        return usage();
    }
    PathShape shape;
    shape.lifetime = std::chrono::seconds(600);
    for (int i = 4; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        bool ok = true;
        if (option == "--out") {
            ok = parseDuration(value, shape.outbound);
        } else if (option == "--in") {
            ok = parseDuration(value, shape.inbound);
        } else if (option == "--jitter") {
            ok = parseDuration(value, shape.jitter);
        } else if (option == "--loss") {
            shape.loss = std::atof(value.c_str());
            ok = shape.loss >= 0 && shape.loss <= 1;
        } else if (option == "--seed") {
            shape.seed = std::strtoull(value.c_str(), nullptr, 10);
        } else if (option == "--seconds") {
            const long seconds = std::atol(value.c_str());
            ok = seconds > 0 && seconds <= 86400;
            shape.lifetime = std::chrono::seconds(seconds);
        } else {
            ok = false;
        }
        if (!ok) return usage();
    }
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    PathRelay relay(kind == "udp" ? RelayProtocol::Udp : RelayProtocol::Tcp, listenAddress, listenPort, targetAddress,
                    targetPort, shape);
    if (!relay.ok()) {
        std::fprintf(stderr, "path_relay: cannot listen on %s\n", argv[2]);
        return 1;
    }
    std::printf("ready %u\n", relay.port());
    std::fflush(stdout);
    const auto end = std::chrono::steady_clock::now() + shape.lifetime;
    while (ended == 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    relay.stop();
    const RelayCounts counts = relay.counts();
    std::printf("passed %llu %llu lost %llu %llu\n", static_cast<unsigned long long>(counts.outbound),
                static_cast<unsigned long long>(counts.inbound), static_cast<unsigned long long>(counts.lostOutbound),
                static_cast<unsigned long long>(counts.lostInbound));
    return 0;
}
