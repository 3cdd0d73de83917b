// Counts the distinct clients of a summary in bounded memory: exactly up
// to kExact of them, then by a HyperLogLog estimate (about 1.6% standard
// error) however many more come, so that a flood from many (perhaps
// forged) addresses neither grows it nor counts a client twice.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_set>

#include "platform/socket.h"

namespace tavrel {

class DistinctCounter {
public:
    static constexpr size_t kExact = 4096;

    void add(const platform::NetAddress& client);
    // How many distinct hosts were added (the ports aside).
    uint64_t count() const;
    // True once the count is an estimate rather than exact.
    bool estimated() const { return estimating_; }
    void clear();

private:
    static constexpr int kRegisterBits = 12;
    static constexpr size_t kRegisters = size_t{1} << kRegisterBits;
    void addToRegisters(uint64_t hash);

    std::unordered_set<uint64_t> exact_;  // hashes of the hosts, while few
    bool estimating_ = false;
    std::array<uint8_t, kRegisters> registers_{};
};

}  // namespace tavrel
