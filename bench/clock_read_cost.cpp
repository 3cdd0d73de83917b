// What one reading of the wall clock costs, with and without the simulated
// clock (TAVREL_CLOCK_FILE), for the accuracy benchmark: the simulated
// clock's file is read at every reading, and a reading taken when a reply
// arrives is late by that much. Prints the two costs in microseconds, the
// median of several rounds of 20,000 readings each.
//
// Usage: bench_clock_read CLOCK_FILE
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/time.h"

namespace {

double microsecondsPerReading() {
    constexpr int kReadings = 20'000;
    std::vector<double> rounds;
    for (int round = 0; round < 7; ++round) {
        const auto start = std::chrono::steady_clock::now();
        tavrel::platform::FileTime sum = 0;
        for (int i = 0; i < kReadings; ++i) sum += tavrel::platform::getSystemTimeAsFileTime();
        const auto took = std::chrono::steady_clock::now() - start;
        if (sum == 0) std::puts("");  // keeps the readings from being left out
        rounds.push_back(std::chrono::duration<double, std::micro>(took).count() / kReadings);
    }
    std::sort(rounds.begin(), rounds.end());
    return rounds[rounds.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_clock_read CLOCK_FILE\n");
        return 2;
    }
    unsetenv("TAVREL_CLOCK_FILE");
    const double real = microsecondsPerReading();
    setenv("TAVREL_CLOCK_FILE", argv[1], 1);
    const double simulated = microsecondsPerReading();
    std::printf("%.3f %.3f\n", real, simulated);
    return 0;
}
