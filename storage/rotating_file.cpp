#include "storage/rotating_file.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>

#include "platform/file.h"

namespace tavrel {
namespace {

// How many times a writer opens the file, again each time another writer
// moved it aside while this one waited for its lock: each round takes a
// whole rotation by someone else, so the limit is never reached in practice.
constexpr int kMaxOpenings = 16;

bool systemMove(const std::string& from, const std::string& to) { return platform::moveFileReplacing(from, to); }
long systemRead(platform::File& file, void* buffer, size_t size) { return file.read(buffer, size); }
// Atomic: a test sets them while other threads of the process may log.
std::atomic<RotationMove> moveFile{systemMove};
std::atomic<RotationRead> readFile{systemRead};

enum class Rotation {
    Moved,    // the file now has oldPath's name; `path` is free for a new one
    Emptied,  // copied to oldPath whole, then emptied in place
    Failed,   // left exactly as it was
};

// The whole file, read through the locked handle; false when it could not
// all be read.
bool readWhole(platform::File& file, int64_t size, std::string& content) {
    if (!file.seekToStart()) return false;
    content.clear();
    content.reserve(static_cast<size_t>(size));
    char buffer[65536];
    for (;;) {
        const long n = readFile.load()(file, buffer, sizeof buffer);
        if (n < 0) return false;
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    return static_cast<int64_t>(content.size()) == size;
}

// Puts the file (locked, `size` bytes, at `path`) aside as oldPath. A move
// needs no room on the disk, so it works on a full one. Where the system
// refuses the move, a copy written whole (flushed and renamed into place)
// stands in, and only then is the file emptied. On failure `reason` says why.
Rotation rotate(platform::File& file, int64_t size, const std::string& path, const std::string& oldPath,
                std::string& reason) {
    if (moveFile.load()(path, oldPath)) return Rotation::Moved;
    reason = "moving it to " + oldPath + " failed (" + platform::lastFileErrorText() + ")";
    std::string content;
    if (!readWhole(file, size, content)) {
        reason += ", and it could not be read whole to copy it";
        return Rotation::Failed;
    }
    if (!platform::writeFileReplacing(oldPath, content)) {
        reason += ", and so did copying it (" + platform::lastFileErrorText() + ")";
        return Rotation::Failed;
    }
    if (!file.truncate()) {
        reason += ", and emptying it after the copy failed (" + platform::lastFileErrorText() + ")";
        return Rotation::Failed;
    }
    return Rotation::Emptied;
}

// Says once per file and process, on standard error (the journal, for the
// service), that lines are being dropped: a line per dropped line would
// flood it.
void reportDropping(const std::string& path, const std::string& reason) {
    // Once per process: the files are the process's, whichever writer drops.
    static std::mutex mutex;
    static std::set<std::string> reported;
    {
        std::lock_guard lock(mutex);
        if (!reported.insert(path).second) return;
    }
    const std::string line = "Tavrel: cannot rotate " + path + ": " + reason + "; new lines are dropped\n";
    (void)std::fwrite(line.data(), 1, line.size(), stderr);
    (void)std::fflush(stderr);
}

// Appends `out` at the end, or, when it cannot all be written (a full
// disk), cuts off what part of it was, so that no half line is left for the
// next one to follow.
bool appendWhole(platform::File& file, int64_t size, std::string_view out) {
    if (file.seekToEnd() && file.writeAll(out)) return true;
    (void)file.truncateTo(size);
    return false;
}

}  // namespace

void setRotationSeams(RotationMove move, RotationRead read) {
    moveFile.store(move != nullptr ? move : systemMove);
    readFile.store(read != nullptr ? read : systemRead);
}

bool appendRotating(const std::string& path, const std::string& oldPath, int64_t rotateAbove,
                    std::string_view header, std::string_view text, int lockWaitMs) {
    bool rotated = false;
    for (int opening = 0; opening < kMaxOpenings; ++opening) {
        platform::File file = platform::File::openAlways(path);
        if (!file.valid() || !file.lockExclusive(lockWaitMs)) return false;
        // While this writer waited, another may have moved the file aside:
        // then it holds the old file and must write to the new one.
        if (!file.isAt(path)) continue;
        int64_t size = file.size();
        if (size < 0) return false;
        if (size > rotateAbove && !rotated) {
            std::string reason;
            switch (rotate(file, size, path, oldPath, reason)) {
                case Rotation::Moved:
                    rotated = true;
                    continue;  // to the fresh file at `path`
                case Rotation::Emptied:
                    size = 0;
                    break;
                case Rotation::Failed:
                    reportDropping(path, reason);
                    return false;
            }
        }
        std::string out;
        if (size == 0) out = header;
        out += text;
        return appendWhole(file, size, out);
    }
    return false;
}

}  // namespace tavrel
