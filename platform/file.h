// Files and directories: a small owner for an open file, buffered byte
// reading, whole-file replacement, directories and the program's location.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrel::platform {

// The character that separates and ends directory texts.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// An open file; closed when the owner goes. Not copyable.
class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens an existing file for reading.
    static File openForReading(const std::string& path);
    // Opens for reading and writing, creating the file when it is missing.
    static File openAlways(const std::string& path);
    // Creates the file, or truncates an existing one, for reading and writing.
    static File createAlways(const std::string& path);

    bool valid() const { return fd_ >= 0; }
    // Bytes read (0 at the end), or -1 on error.
    long read(void* buffer, size_t size);
    // Writes everything or reports failure.
    [[nodiscard]] bool writeAll(const void* data, size_t size);
    [[nodiscard]] bool writeAll(std::string_view text) { return writeAll(text.data(), text.size()); }
    // Current size in bytes, or -1.
    int64_t size() const;
    [[nodiscard]] bool seekToStart();
    [[nodiscard]] bool seekToEnd();
    // Moves to `offset` bytes from the start.
    [[nodiscard]] bool seekTo(int64_t offset);
    [[nodiscard]] bool truncate();
    // Cuts the file back to `size` bytes and moves to its end; the undo of
    // an append that could not be written whole.
    [[nodiscard]] bool truncateTo(int64_t size);
    // Takes an exclusive advisory lock, waiting at most timeoutMs.
    [[nodiscard]] bool lockExclusive(int timeoutMs);
    // True while `path` names this very file: false once the file was moved
    // away or another one took its name since it was opened (a writer that
    // waited for the lock meanwhile must open `path` again), or when either
    // cannot be looked at.
    bool isAt(const std::string& path) const;
    void close();

private:
    // A descriptor on Linux, a HANDLE on Windows (INVALID_HANDLE_VALUE is -1).
    explicit File(intptr_t fd) : fd_(fd) {}
    intptr_t fd_ = -1;
};

// Hands out a file's bytes one at a time, reading it in large blocks.
class ByteReader {
public:
    explicit ByteReader(File& file) : file_(file) {}
    // The next byte, or -1 at the end of the file or on a read error.
    int next() {
        if (pos_ == len_ && !refill()) return -1;
        return buffer_[pos_++];
    }

private:
    bool refill();
    File& file_;
    unsigned char buffer_[4096];
    size_t pos_ = 0;
    size_t len_ = 0;
};

// True when the file exists and can be opened for reading.
bool fileReadable(const std::string& path);
// Reads a file of at most maxBytes into text; false when missing or larger.
bool readSmallFile(const std::string& path, std::string& text, size_t maxBytes);
// Reads the last maxBytes of a file into text, or all of it when it is not
// larger; fromStart tells whether text begins at the file's first byte.
// Never more than maxBytes, also of a file growing meanwhile. False when
// missing or unreadable.
bool readFileTail(const std::string& path, std::string& text, size_t maxBytes, bool& fromStart);
// Replaces a file whole: writes a temporary file beside it (named after it,
// ending ".new-" and a unique part), flushes it to the disk and renames it
// over the old one, so neither a crash nor a full disk leaves half a file;
// on failure the old file stays as it was.
// Who may read it: a file replaced keeps its mode; a new one gets the
// process's umask (the service's UMask=0077 keeps its state private) unless
// it is one every user or program must read (a unit, the zone files, the
// metrics for an exporter), which is made 0644, or one that holds secrets,
// made 0600 whatever the umask. Written by root into a folder that belongs
// to another user, it is that user's. Ignored on Windows.
enum class FileReaders { AsUmaskSays, Everyone, OwnerOnly };
[[nodiscard]] bool writeFileReplacing(const std::string& path, std::string_view content,
                                      FileReaders readers = FileReaders::AsUmaskSays);
// Removes the temporaries writeFileReplacing left beside `path` when a
// process died mid-write (those older than a minute, so another process's
// save in progress is left alone).
void removeStaleReplacements(const std::string& path);
// Copies a file byte for byte, replacing the target.
[[nodiscard]] bool copyFile(const std::string& from, const std::string& to);
// Moves a file to another name in the same file system in one step,
// replacing a file of that name: no copy, so it needs no room on the disk,
// and handles open on the file follow it to the new name. False when the
// system refuses (another file system, a folder in the way, on Windows a
// handle open without FILE_SHARE_DELETE).
[[nodiscard]] bool moveFileReplacing(const std::string& from, const std::string& to);
// Why this thread's last file call failed, in the system's words, for a
// message to the user.
std::string lastFileErrorText();
// Creates one directory; false when it could not be created (also when it
// exists already).
bool createDirectory(const std::string& path);
bool directoryExists(const std::string& path);
// True when something other than a folder goes by that name (following
// links), whether or not it may be read.
bool fileExists(const std::string& path);
// The folder a metrics collector reads text files from by default: the
// Prometheus node exporter's on Debian, windows_exporter's on Windows.
std::string metricsCollectorFolder();
bool removeFile(const std::string& path);

// Links in a folder someone else may change. A process running as root
// that keeps its files in such a folder must not follow a link planted
// there to a file of root's (a log "dLog.txt" that stands for a system
// file, a server list that stands for a secret). After refuseLinksIn(f),
// every file under f is opened without following a link at its last part
// (the open fails instead), and writeFileReplacing never takes a link's
// target's mode. Meant for start-up, before other threads; safe later too.
void refuseLinksIn(const std::string& folder);
// Why a process running as root must not keep its files in `folder`: it,
// or a folder above it, belongs to another user, or others than root may
// write to it; empty when root may use it, when not running as root, and
// on Windows. `ownedByService` allows the folder itself (not those above
// it) to belong to the service's own user, as the service's state folder
// does.
std::string folderUnsafeForRoot(const std::string& folder, bool ownedByService = false);
// The same for a folder root writes its own files in, stricter still: a
// folder that others may write in at all (sticky or not) is refused too,
// since a name root is about to use could be taken there first.
std::string folderUnsafeForRootWrites(const std::string& folder);
// True when the process runs with root's rights (Linux; false on Windows).
bool runningAsRoot();
// True when the process runs with rights other than its real user's (a
// set-user-ID or set-group-ID start; false on Windows).
bool runningWithBorrowedRights();
// True when `path` lies under a folder given to refuseLinksIn.
bool linksRefusedFor(const std::string& path);

// Full path of the running program file, or empty when unknown.
std::string programFilePath();
// True when the file lies on a drive that the system reports as removable.
bool onRemovableDrive(const std::string& path);
// The user's application-data folder without a trailing separator
// ($XDG_CONFIG_HOME, else ~/.config; on Windows TAVREL_APPDATA, else the
// user's AppData folder), or empty when it cannot be found.
std::string applicationDataFolder();
// The application-data folder of the account that system services run as
// (Windows; empty where services keep their data in a state folder).
std::string serviceAccountDataFolder();
// The folder holding the program's own files (the read-me, "DefSet.txt", the
// shipped defaults), without a trailing separator: the program file's
// folder, or for a program installed as PREFIX/bin/tavrel with
// PREFIX/share/tavrel beside it, that folder.
std::string programFilesFolder(const std::string& programFile);
// The state folder the system gives the service for its data (systemd's
// StateDirectory, /var/lib/tavrel; TAVREL_SERVICE_STATE_DIR stands in for it),
// or empty where the service finds its data as the window program does.
std::string serviceStateFolder();
// In the service process: the state folder the service manager handed it
// ($STATE_DIRECTORY), or empty.
std::string givenServiceStateFolder();

}  // namespace tavrel::platform
