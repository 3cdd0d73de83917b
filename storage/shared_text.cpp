#include "storage/shared_text.h"

#include <cstring>

namespace tavrel {

std::mutex& sharedTextMutex() {
    // One for the process, as the texts it guards are in the one settings record.
    static std::mutex mutex;
    return mutex;
}

void copyBoundedText(char* dst, size_t capacity, std::string_view src) {
    if (capacity == 0) return;
    const size_t n = src.size() < capacity - 1 ? src.size() : capacity - 1;
    std::memcpy(dst, src.data(), n);
    std::memset(dst + n, 0, capacity - n);
}

std::string boundedText(const char* src, size_t capacity) {
    const void* end = std::memchr(src, 0, capacity);
    return std::string(src, end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - src) : capacity);
}

}  // namespace tavrel
