#include "storage/rotating_file.h"

#include "platform/file.h"

namespace tavrel {

bool appendRotating(const std::string& path, const std::string& oldPath, int64_t rotateAbove,
                    std::string_view header, std::string_view text, int lockWaitMs) {
    platform::File file = platform::File::openAlways(path);
    if (!file.valid() || !file.lockExclusive(lockWaitMs)) return false;
    const int64_t size = file.size();
    if (size < 0) return false;
    std::string out;
    if (size > rotateAbove) {
        // A failed copy does not stop the rotation.
        (void)platform::copyFile(path, oldPath);
        if (!file.truncate()) return false;
        out = header;
    } else if (size == 0) {
        out = header;
    }
    out += text;
    return file.seekToEnd() && file.writeAll(out);
}

}  // namespace tavrel
