// Big-endian 16-bit words as NTS-KE records and NTP extension fields carry
// their types and lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tavrel {

// The word at `at`; the caller has checked that two bytes are there.
inline uint16_t readWord16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

// Appends the low 16 bits of `value`.
inline void appendWord16(std::vector<uint8_t>& out, size_t value) {
    out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

}  // namespace tavrel
