// The file functions built only on File, the same on every platform.
#include "platform/file.h"

#include <mutex>
#include <string>
#include <vector>

namespace tavrel::platform {

// Owning the descriptor or handle: the same on every system, -1 meaning none.
File::~File() { close(); }

File::File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool ByteReader::refill() {
    const long n = file_.read(buffer_, sizeof buffer_);
    if (n <= 0) return false;
    pos_ = 0;
    len_ = static_cast<size_t>(n);
    return true;
}

namespace {

std::mutex refusedFoldersLock;
std::vector<std::string>& refusedFolders() {
    static std::vector<std::string> folders;
    return folders;
}

}  // namespace

void refuseLinksIn(const std::string& folder) {
    if (folder.empty()) return;
    std::string prefix = folder;
    if (prefix.back() != kPathSeparator) prefix += kPathSeparator;
    const std::lock_guard<std::mutex> hold(refusedFoldersLock);
    for (const std::string& known : refusedFolders()) {
        if (known == prefix) return;
    }
    refusedFolders().push_back(prefix);
}

bool linksRefusedFor(const std::string& path) {
    const std::lock_guard<std::mutex> hold(refusedFoldersLock);
    for (const std::string& prefix : refusedFolders()) {
        if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

bool fileReadable(const std::string& path) { return File::openForReading(path).valid(); }

bool readSmallFile(const std::string& path, std::string& text, size_t maxBytes) {
    File f = File::openForReading(path);
    if (!f.valid()) return false;
    text.clear();
    char buffer[512];
    for (;;) {
        const long n = f.read(buffer, sizeof buffer);
        if (n < 0) return false;
        if (n == 0) return true;
        if (text.size() + static_cast<size_t>(n) > maxBytes) return false;
        text.append(buffer, static_cast<size_t>(n));
    }
}

bool readFileTail(const std::string& path, std::string& text, size_t maxBytes, bool& fromStart) {
    File f = File::openForReading(path);
    if (!f.valid()) return false;
    const int64_t size = f.size();
    if (size < 0) return false;
    const uint64_t length = static_cast<uint64_t>(size);
    fromStart = length <= maxBytes;
    if (!fromStart && !f.seekTo(static_cast<int64_t>(length - maxBytes))) return false;
    text.clear();
    text.reserve(fromStart ? static_cast<size_t>(length) : maxBytes);
    char buffer[65536];
    while (text.size() < maxBytes) {
        const size_t room = maxBytes - text.size();
        const long n = f.read(buffer, room < sizeof buffer ? room : sizeof buffer);
        if (n < 0) return false;
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

bool copyFile(const std::string& from, const std::string& to) {
    File in = File::openForReading(from);
    if (!in.valid()) return false;
    File out = File::createAlways(to);
    if (!out.valid()) return false;
    char buffer[65536];
    for (;;) {
        const long n = in.read(buffer, sizeof buffer);
        if (n < 0) return false;
        if (n == 0) return true;
        if (!out.writeAll(buffer, static_cast<size_t>(n))) return false;
    }
}

}  // namespace tavrel::platform
