// Appending to a file that several processes write and that starts afresh
// past a size: the log and the clock's history.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrel {

// Appends `text` to the file at `path`, the writers of every process taking
// turns under an exclusive lock (waiting at most lockWaitMs). Past
// rotateAbove bytes the file is copied to oldPath and emptied in place,
// under the lock, so a waiting writer never appends to a replaced file.
// `header` goes first into an empty or restarted file. False when nothing
// could be written.
bool appendRotating(const std::string& path, const std::string& oldPath, int64_t rotateAbove,
                    std::string_view header, std::string_view text, int lockWaitMs);

}  // namespace tavrel
