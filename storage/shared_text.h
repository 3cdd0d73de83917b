// Texts shared between threads (server names, addresses) are read and
// written under one small mutex; it is never held across I/O.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace tavrel {

std::mutex& sharedTextMutex();

// Copies src into a fixed buffer of `capacity` bytes, cut to capacity - 1
// characters and always zero-terminated.
void copyBoundedText(char* dst, size_t capacity, std::string_view src);

// The zero-terminated text of a fixed buffer (never reads past capacity).
std::string boundedText(const char* src, size_t capacity);

}  // namespace tavrel
