#pragma once

#include <cstddef>
#include <string_view>

namespace tavrel {

inline constexpr size_t kDefaultServerListSize = 678;
extern const std::string_view kDefaultServerList;

}  // namespace tavrel
