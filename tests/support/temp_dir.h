// Temporary folders and small file helpers for tests.
#pragma once

#include <string>
#include <string_view>

namespace tavrel::test {

// A fresh folder under $TMPDIR, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The folder's path ending with "/".
    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + std::string(name); }

private:
    std::string path_;
};

void writeFile(const std::string& path, std::string_view content);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);

// Points the data and program directories at `dir` and zeroes the
// process-wide settings and string table.
void resetProcessState(const std::string& programDir, const std::string& dataDir);

}  // namespace tavrel::test
