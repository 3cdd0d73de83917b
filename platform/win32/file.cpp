// Windows files, over HANDLEs from CreateFileA. Every open shares reading,
// writing and deletion, so that, as on Linux, a file that one handle holds
// open can still be read, written, moved to another name and renamed over
// through another.
#include <windows.h>
#include <shlobj.h>

#include "platform/file.h"

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win32/win32_support.h"

namespace tavrel::platform {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// One call reads or writes at most this much, so that a count always fits
// the long the callers get back.
constexpr DWORD kLargestTransfer = 0x40000000;

// lockExclusive locks this one byte, far beyond any data, instead of the
// file: Windows locks are mandatory, and a lock over the data would refuse
// reading to every other handle, while the Linux lock (flock) only excludes
// other lockers. The log copies its file under the lock, for one.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kLockOffsetLow = 0;

HANDLE handleOf(intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }

intptr_t open(const std::string& path, DWORD access, DWORD disposition) {
    // Where links are refused the handle is to the name itself, link or
    // not, and a link (any reparse point) is not taken.
    const bool refuseLinks = linksRefusedFor(path);
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (refuseLinks ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    const HANDLE h = CreateFileA(path.c_str(), access, kShareAll, nullptr, disposition, flags, nullptr);
    if (refuseLinks && h != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info{};
        if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            CloseHandle(h);
            SetLastError(ERROR_CANT_ACCESS_FILE);
            return -1;
        }
    }
    return reinterpret_cast<intptr_t>(h);  // INVALID_HANDLE_VALUE is -1
}

bool writeEverything(HANDLE h, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD chunk = size > kLargestTransfer ? kLargestTransfer : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(h, p, chunk, &written, nullptr)) return false;
        p += written;
        size -= written;
    }
    return true;
}

bool seek(HANDLE h, DWORD method) {
    LARGE_INTEGER zero{};
    return SetFilePointerEx(h, zero, nullptr, method) != FALSE;
}

// The file's identity: the volume's serial number and the file's index on
// it, the inode number Windows keeps.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
};

bool identityOf(HANDLE h, FileIdentity& out) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) return false;
    out = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

// Moves or renames over, trying a refusal again up to `attempts` times, a
// few milliseconds apart: unlike a rename on Linux, replacing a file is
// refused while any other handle has it open, as a reader here does for a
// moment.
bool moveReplacingPatiently(const std::string& from, const std::string& to, int attempts) {
    constexpr DWORD kReplacePauseMs = 5;
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
        const DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt >= attempts) return false;
        Sleep(kReplacePauseMs);
    }
}

std::string withoutTrailingSeparators(std::string path) {
    while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    return path;
}

}  // namespace

// CreateFileA refuses to open a directory without FILE_FLAG_BACKUP_SEMANTICS,
// so a directory is never taken for a readable file.
File File::openForReading(const std::string& path) { return File(open(path, GENERIC_READ, OPEN_EXISTING)); }

File File::openAlways(const std::string& path) {
    return File(open(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS));
}

File File::createAlways(const std::string& path) {
    return File(open(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS));
}

long File::read(void* buffer, size_t size) {
    if (fd_ < 0) return -1;
    const DWORD chunk = size > kLargestTransfer ? kLargestTransfer : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!ReadFile(handleOf(fd_), buffer, chunk, &got, nullptr)) {
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    return static_cast<long>(got);
}

bool File::writeAll(const void* data, size_t size) { return fd_ >= 0 && writeEverything(handleOf(fd_), data, size); }

int64_t File::size() const {
    LARGE_INTEGER size{};
    if (fd_ < 0 || !GetFileSizeEx(handleOf(fd_), &size)) return -1;
    return size.QuadPart;
}

bool File::seekToStart() { return fd_ >= 0 && seek(handleOf(fd_), FILE_BEGIN); }
bool File::seekToEnd() { return fd_ >= 0 && seek(handleOf(fd_), FILE_END); }
bool File::seekTo(int64_t offset) {
    LARGE_INTEGER at{};
    at.QuadPart = offset;
    return fd_ >= 0 && offset >= 0 && SetFilePointerEx(handleOf(fd_), at, nullptr, FILE_BEGIN);
}
bool File::truncate() { return fd_ >= 0 && seekToStart() && SetEndOfFile(handleOf(fd_)); }
bool File::truncateTo(int64_t size) {
    LARGE_INTEGER at{};
    at.QuadPart = size;
    return fd_ >= 0 && size >= 0 && SetFilePointerEx(handleOf(fd_), at, nullptr, FILE_BEGIN) &&
           SetEndOfFile(handleOf(fd_));
}

bool File::lockExclusive(int timeoutMs) {
    if (fd_ < 0) return false;
    constexpr int kStepMs = 5;
    for (int waited = 0;; waited += kStepMs) {
        OVERLAPPED at{};
        at.Offset = kLockOffsetLow;
        at.OffsetHigh = kLockOffsetHigh;
        if (LockFileEx(handleOf(fd_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return true;
        const DWORD error = GetLastError();
        if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) return false;
        if (waited >= timeoutMs) return false;
        Sleep(kStepMs);
    }
}

bool File::isAt(const std::string& path) const {
    FileIdentity held;
    if (fd_ < 0 || !identityOf(handleOf(fd_), held)) return false;
    // No access asked for, so no other handle's sharing can refuse the look.
    const HANDLE named = CreateFileA(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                     nullptr);
    if (named == INVALID_HANDLE_VALUE) return false;
    FileIdentity there;
    const bool known = identityOf(named, there);
    CloseHandle(named);
    return known && held.volume == there.volume && held.indexHigh == there.indexHigh &&
           held.indexLow == there.indexLow;
}

void File::close() {
    if (fd_ >= 0) {
        // Closing releases a lock too, but not necessarily at once.
        (void)UnlockFile(handleOf(fd_), kLockOffsetLow, kLockOffsetHigh, 1, 0);
        CloseHandle(handleOf(fd_));
        fd_ = -1;
    }
}

constexpr char kReplacementMark[] = ".new-";

bool writeFileReplacing(const std::string& path, std::string_view content, FileReaders) {
    static std::atomic<unsigned> serial{0};
    std::string temp;
    HANDLE h = INVALID_HANDLE_VALUE;
    while (h == INVALID_HANDLE_VALUE) {
        temp = path + kReplacementMark + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serial++);
        h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    bool ok = writeEverything(h, content.data(), content.size());
    // On the disk before it replaces the old file: a full disk or a crash
    // shows here, not as a short file later.
    if (ok) ok = FlushFileBuffers(h) != FALSE;
    if (!CloseHandle(h)) ok = false;
    constexpr int kReplaceAttempts = 200;  // a second
    if (ok && moveReplacingPatiently(temp, path, kReplaceAttempts)) return true;
    // Keeps the reason for the caller: a successful DeleteFileA may clear it.
    const DWORD error = GetLastError();
    DeleteFileA(temp.c_str());
    SetLastError(error);
    return false;
}

// The file moves while handles are open on it, this program's own included,
// since every open here shares deletion; the handles and their locks follow
// it to the new name. Another program's handle opened without
// FILE_SHARE_DELETE refuses the move (ERROR_SHARING_VIOLATION), as does
// `to` while anything has it open (ERROR_ACCESS_DENIED); the caller then
// copies instead. The wait for a reader of `to` is kept short, as the log's
// writers wait meanwhile.
bool moveFileReplacing(const std::string& from, const std::string& to) {
    constexpr int kMoveAttempts = 40;  // a fifth of a second
    return moveReplacingPatiently(from, to, kMoveAttempts);
}

std::string lastFileErrorText() {
    const DWORD error = GetLastError();
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.')) --n;
    if (n == 0) return "error " + std::to_string(error);
    return std::string(text, n);
}

void removeStaleReplacements(const std::string& path) {
    constexpr ULONGLONG kStaleUnits = 60ULL * 10'000'000ULL;  // a minute in FILETIME units
    const size_t cut = path.find_last_of("\\/");
    const std::string folder = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + kReplacementMark + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    FILETIME nowFt;
    GetSystemTimeAsFileTime(&nowFt);
    const ULONGLONG now = (static_cast<ULONGLONG>(nowFt.dwHighDateTime) << 32) | nowFt.dwLowDateTime;
    do {
        const ULONGLONG written = (static_cast<ULONGLONG>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                                  found.ftLastWriteTime.dwLowDateTime;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && now > written && now - written > kStaleUnits) {
            DeleteFileA((folder + found.cFileName).c_str());
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

bool createDirectory(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != FALSE; }

bool directoryExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool fileExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool removeFile(const std::string& path) { return DeleteFileA(path.c_str()) != FALSE; }

std::string programFilePath() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::string();
        if (n < buffer.size()) return std::string(buffer.data(), n);
        if (buffer.size() >= 32768) return std::string();
        buffer.resize(buffer.size() * 2);  // cut short: try a larger buffer
    }
}

bool onRemovableDrive(const std::string& path) {
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return false;
    // Only drive-letter paths have a drive type; network paths are not removable.
    if (!(((full[0] >= 'A' && full[0] <= 'Z') || (full[0] >= 'a' && full[0] <= 'z')) && full[1] == ':')) return false;
    const char root[] = {full[0], ':', '\\', '\0'};
    return GetDriveTypeA(root) == DRIVE_REMOVABLE;
}

std::string applicationDataFolder() {
    // TAVREL_APPDATA stands in for the user's folder in tests.
    const char* chosen = std::getenv("TAVREL_APPDATA");
    if (chosen != nullptr && *chosen != '\0') return withoutTrailingSeparators(chosen);
    char folder[MAX_PATH];
    if (!SHGetSpecialFolderPathA(nullptr, folder, CSIDL_APPDATA, FALSE)) return std::string();
    return withoutTrailingSeparators(folder);
}

std::string serviceAccountDataFolder() {
    // Services run as LocalSystem, whose profile is the .DEFAULT user hive.
    win32::RegistryKey folders;
    std::string folder;
    if (!folders.open(HKEY_USERS, ".DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                      KEY_QUERY_VALUE) ||
        !folders.readText("AppData", folder)) {
        return std::string();
    }
    return withoutTrailingSeparators(folder);
}

std::string programFilesFolder(const std::string& programFile) {
    const size_t cut = programFile.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : programFile.substr(0, cut);
}

// The service finds its data in the LocalSystem profile, as above.
std::string serviceStateFolder() { return std::string(); }
std::string givenServiceStateFolder() { return std::string(); }

// Elevation on Windows is an administrator's token, not a user of its own;
// the data folder is the user's own profile either way.
bool runningAsRoot() { return false; }
std::string folderUnsafeForRootWrites(const std::string&) { return std::string(); }
bool runningWithBorrowedRights() { return false; }
std::string folderUnsafeForRoot(const std::string&, bool) { return std::string(); }

std::string metricsCollectorFolder() { return "C:\\Program Files\\windows_exporter\\textfile_inputs"; }

}  // namespace tavrel::platform
