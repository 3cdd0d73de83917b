#pragma once

#include <array>
#include <cstddef>

namespace tavrel {

inline constexpr size_t kDefaultStringLineCount = 250;
// The lines of the built-in strings file, without their CR LF ends.
extern const std::array<const char*, kDefaultStringLineCount> kDefaultStringLines;

}  // namespace tavrel
