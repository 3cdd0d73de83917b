// Appending to a file that several processes write and that starts afresh
// past a size: the log and the clock's history.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrel {

namespace platform {
class File;
}

// Appends `text` to the file at `path`, the writers of every process taking
// turns under an exclusive lock (waiting at most lockWaitMs). Past
// rotateAbove bytes the file first moves to oldPath (replacing the one
// there) and `text` starts a new file at `path`; a writer that was waiting
// for the moved file's lock notices and writes to the new one. Where the
// system refuses the move, the file is copied to oldPath and emptied in
// place, but only once the copy is known complete. `header` goes first into
// an empty or restarted file.
// False when `text` was not written; then the file keeps what it held, no
// part of `text` included. A file that can be neither moved nor copied
// keeps growing no further: its new lines are dropped, said once per file
// and process on standard error.
bool appendRotating(const std::string& path, const std::string& oldPath, int64_t rotateAbove,
                    std::string_view header, std::string_view text, int lockWaitMs);

// Test seams: what stands in for moving the file aside and for each read of
// it when it is copied instead; nullptr restores the system's own. Not for
// use while other threads write.
using RotationMove = bool (*)(const std::string& from, const std::string& to);
using RotationRead = long (*)(platform::File& file, void* buffer, size_t size);
void setRotationSeams(RotationMove move, RotationRead read);

}  // namespace tavrel
