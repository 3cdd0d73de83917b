#include "timeservice/distinct_counter.h"

#include <cmath>

namespace tavrel {
namespace {

// A 64-bit hash of the host: FNV-1a over the family and the address bytes,
// then a finaliser that spreads every input bit over the whole word, as the
// estimate needs.
uint64_t hostHash(const platform::NetAddress& client) {
    uint64_t h = 0xcbf29ce484222325ULL;
    const auto mix = [&h](uint8_t byte) {
        h ^= byte;
        h *= 0x100000001b3ULL;
    };
    mix(client.family == platform::AddressFamily::V6 ? 6 : 4);
    const size_t length = client.family == platform::AddressFamily::V6 ? 16 : 4;
    for (size_t i = 0; i < length; ++i) mix(client.bytes[i]);
    h ^= h >> 30;
    h *= 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 27;
    h *= 0x94d049bb133111ebULL;
    h ^= h >> 31;
    return h;
}

}  // namespace

void DistinctCounter::addToRegisters(uint64_t hash) {
    const size_t index = static_cast<size_t>(hash >> (64 - kRegisterBits));
    const uint64_t rest = hash << kRegisterBits;
    // The position of the first 1 bit in what is left (all zero: past its end).
    uint8_t rank = 1;
    for (uint64_t bit = uint64_t{1} << 63; rank <= 64 - kRegisterBits && (rest & bit) == 0; bit >>= 1) ++rank;
    if (rank > registers_[index]) registers_[index] = rank;
}

void DistinctCounter::add(const platform::NetAddress& client) {
    const uint64_t hash = hostHash(client);
    if (estimating_) {
        addToRegisters(hash);
        return;
    }
    exact_.insert(hash);
    if (exact_.size() <= kExact) return;
    // Too many to keep: from now on the registers count, holding all so far.
    estimating_ = true;
    for (const uint64_t h : exact_) addToRegisters(h);
    exact_.clear();
}

uint64_t DistinctCounter::count() const {
    if (!estimating_) return exact_.size();
    const double m = static_cast<double>(kRegisters);
    double sum = 0;
    size_t empty = 0;
    for (const uint8_t r : registers_) {
        sum += std::ldexp(1.0, -static_cast<int>(r));
        if (r == 0) ++empty;
    }
    const double alpha = 0.7213 / (1.0 + 1.079 / m);
    double estimate = alpha * m * m / sum;
    // Few distinct values for so many registers: linear counting is closer.
    if (estimate <= 2.5 * m && empty > 0) estimate = m * std::log(m / static_cast<double>(empty));
    return static_cast<uint64_t>(std::llround(estimate));
}

void DistinctCounter::clear() {
    exact_.clear();
    estimating_ = false;
    registers_.fill(0);
}

}  // namespace tavrel
