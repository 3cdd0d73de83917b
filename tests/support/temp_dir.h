// Temporary folders and small file helpers for tests.
#pragma once

#include <string>
#include <string_view>
#include <utility>

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

// Points the data and program directories at `dir` and puts every
// process-wide word back to how a process starts: the settings record, the
// string table, the list's empty mark, the service words, the clock
// privilege, the log's echo and the display name's tail.
void resetProcessState(const std::string& programDir, const std::string& dataDir);

// Sets a process-wide atomic word for the rest of a scope and puts the old
// value back when the scope ends, however it ends (a failed assertion
// included), so that no test leaks its change into the next.
template <class Atomic>
class ScopedWord {
public:
    using Value = decltype(std::declval<Atomic&>().load());
    ScopedWord(Atomic& word, Value value) : word_(word), old_(word.load()) { word_.store(value); }
    ~ScopedWord() { word_.store(old_); }
    ScopedWord(const ScopedWord&) = delete;
    ScopedWord& operator=(const ScopedWord&) = delete;

private:
    Atomic& word_;
    Value old_;
};

}  // namespace tavrel::test
