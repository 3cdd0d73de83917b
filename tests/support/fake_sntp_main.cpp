// A scripted SNTP server as a program, for the shell tests: answers on
// ADDRESS:123 (an IPv4 loopback address, or ::1) with the real time moved by OFFSET_MS (and leap indicator 1
// with --leap) until it is ended. Prints "ready" once it listens, and
// "requests N" when it ends.
//
// Usage: fake_sntp ADDRESS OFFSET_MS [--leap]
#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/fake_time_servers.h"

int main(int argc, char** argv) {
    in_addr a{};
    const bool v6 = argc >= 2 && std::strcmp(argv[1], "::1") == 0;
    if (argc < 3 || (!v6 && inet_pton(AF_INET, argv[1], &a) != 1)) {
        std::fprintf(stderr, "usage: fake_sntp ADDRESS OFFSET_MS [--leap]\n");
        return 2;
    }
    const long long offsetMs = std::strtoll(argv[2], nullptr, 10);
    const bool leap = argc > 3 && std::strcmp(argv[3], "--leap") == 0;
    // SIGTERM and SIGINT are blocked before the server's thread starts (it
    // inherits the mask) and taken by sigwait below, so an end asked for at
    // any moment is seen: no window between a flag's test and a pause().
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    tavrel::test::Listen listen = tavrel::test::listenAt(ntohl(a.s_addr));
    listen.ipv6Loopback = v6;
    tavrel::test::FakeSntpServer server(leap ? tavrel::test::Reply::LeapInsert : tavrel::test::Reply::Correct,
                                        offsetMs, 0, listen);
    if (!server.listening()) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    int signalNumber = 0;
    while (sigwait(&ending, &signalNumber) != 0) {
    }
    // How many requests it answered, for tests that must know whether it was asked.
    std::printf("requests %d\n", server.requests());
    std::fflush(stdout);
    return 0;
}
