// Linux files. Advisory locks (flock) stand in for opening without sharing.
#include "platform/file.h"

#include <cerrno>
#include <dirent.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace tavrel::platform {
namespace {

int openRetrying(const std::string& path, int flags, mode_t mode = 0644) {
    if (linksRefusedFor(path)) flags |= O_NOFOLLOW;
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void sleepMsQuietly(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1'000'000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// File keeps the descriptor in an intptr_t, wide enough for a HANDLE too.
int descriptorOf(intptr_t fd) { return static_cast<int>(fd); }

std::string directoryOf(const std::string& path) {
    const size_t cut = path.find_last_of('/');
    return cut == std::string::npos ? std::string(".") : path.substr(0, cut == 0 ? 1 : cut);
}

}  // namespace

File File::openForReading(const std::string& path) {
    const int fd = openRetrying(path, O_RDONLY);
    if (fd < 0) return File();
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return File();
    }
    return File(fd);
}

File File::openAlways(const std::string& path) { return File(openRetrying(path, O_RDWR | O_CREAT)); }

File File::createAlways(const std::string& path) {
    return File(openRetrying(path, O_RDWR | O_CREAT | O_TRUNC));
}

long File::read(void* buffer, size_t size) {
    if (fd_ < 0) return -1;
    ssize_t n;
    do {
        n = ::read(descriptorOf(fd_), buffer, size);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

bool File::writeAll(const void* data, size_t size) {
    if (fd_ < 0) return false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(descriptorOf(fd_), p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int64_t File::size() const {
    struct stat st {};
    if (fd_ < 0 || fstat(descriptorOf(fd_), &st) != 0) return -1;
    return st.st_size;
}

bool File::seekToStart() { return fd_ >= 0 && lseek(descriptorOf(fd_), 0, SEEK_SET) == 0; }
bool File::seekToEnd() { return fd_ >= 0 && lseek(descriptorOf(fd_), 0, SEEK_END) >= 0; }
bool File::seekTo(int64_t offset) {
    return fd_ >= 0 && offset >= 0 && lseek(descriptorOf(fd_), static_cast<off_t>(offset), SEEK_SET) == offset;
}
bool File::truncate() { return fd_ >= 0 && ftruncate(descriptorOf(fd_), 0) == 0 && seekToStart(); }
bool File::truncateTo(int64_t size) {
    return fd_ >= 0 && size >= 0 && ftruncate(descriptorOf(fd_), static_cast<off_t>(size)) == 0 && seekToEnd();
}

bool File::lockExclusive(int timeoutMs) {
    if (fd_ < 0) return false;
    constexpr int kStepMs = 5;
    for (int waited = 0;; waited += kStepMs) {
        if (flock(descriptorOf(fd_), LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (waited >= timeoutMs) return false;
        sleepMsQuietly(kStepMs);
    }
}

bool File::isAt(const std::string& path) const {
    struct stat held {};
    struct stat named {};
    if (fd_ < 0 || fstat(descriptorOf(fd_), &held) != 0 || ::stat(path.c_str(), &named) != 0) return false;
    return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

void File::close() {
    if (fd_ >= 0) {
        ::close(descriptorOf(fd_));  // also releases an advisory lock
        fd_ = -1;
    }
}

constexpr char kReplacementMark[] = ".new-";
constexpr time_t kStaleReplacementSeconds = 60;

namespace {

// The process's file-creation mask, read without changing it (Linux 4.7
// and later say it in /proc); 022 where it cannot be read.
mode_t currentUmask() {
    std::FILE* status = std::fopen("/proc/self/status", "re");
    if (status == nullptr) return 022;
    char line[256];
    unsigned mask = 022;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
    }
    std::fclose(status);
    return static_cast<mode_t>(mask & 0777);
}

// A file root writes into a folder of another user's belongs to that user,
// as the files beside it do: the window program run as root saves the
// service's settings into the state folder of the service's own user, which
// must go on reading them.
void giveToFolderOwner(int fd, const std::string& path) {
    if (geteuid() != 0) return;
    struct stat folder {};
    if (::stat(directoryOf(path).c_str(), &folder) != 0 || folder.st_uid == 0) return;
    (void)fchown(fd, folder.st_uid, folder.st_gid);
}

}  // namespace

bool writeFileReplacing(const std::string& path, std::string_view content, FileReaders readers) {
    mode_t mode = readers == FileReaders::OwnerOnly ? 0600 : 0644;
    if (readers == FileReaders::AsUmaskSays) {
        // A link planted where links are refused does not lend its
        // target's mode: the new file is made as a new one would be.
        struct stat old {};
        const bool found = linksRefusedFor(path) ? ::lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)
                                                 : ::stat(path.c_str(), &old) == 0;
        mode = found ? (old.st_mode & 07777) : (0666 & ~currentUmask());
    }
    std::string temp = path + kReplacementMark + "XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = true;
    const char* p = content.data();
    size_t left = content.size();
    while (left > 0 && ok) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (ok) giveToFolderOwner(fd, path);
    if (ok) ok = fchmod(fd, mode) == 0;
    // On the disk before it replaces the old file: a full disk or a crash
    // shows here, not as a short file later.
    if (ok) ok = fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0) {
        // The rename itself reaches the disk with the folder.
        const int folder = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            (void)fsync(folder);
            ::close(folder);
        }
        return true;
    }
    ::unlink(temp.c_str());
    return false;
}

void removeStaleReplacements(const std::string& path) {
    const std::string folder = directoryOf(path);
    const std::string prefix = path.substr(path.find_last_of('/') + 1) + kReplacementMark;
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) return;
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.rfind(prefix, 0) != 0) continue;
        const std::string full = folder + "/" + name;
        struct stat st {};
        if (::lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && now - st.st_mtime > kStaleReplacementSeconds) {
            ::unlink(full.c_str());
        }
    }
    ::closedir(listing);
}

// rename() takes the open descriptors (and their flock locks) along to the
// new name; a rename across file systems fails with EXDEV.
bool moveFileReplacing(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string lastFileErrorText() {
    const int error = errno;
    char buffer[256];
    // GNU strerror_r returns the text, which need not be in the buffer.
    return ::strerror_r(error, buffer, sizeof buffer);
}

// A folder root makes inside another user's belongs to that user, as the
// files root writes there do: root's run with a user's home (sudo -E) must
// not leave the user a folder of their own they cannot write to.
bool createDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) != 0) return false;
    struct stat parent {};
    if (geteuid() == 0 && ::stat(directoryOf(path).c_str(), &parent) == 0 && parent.st_uid != 0) {
        (void)::lchown(path.c_str(), parent.st_uid, parent.st_gid);
    }
    return true;
}

bool directoryExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

std::string programFilePath() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::string();
    return std::string(buffer, static_cast<size_t>(n));
}

bool onRemovableDrive(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    // /sys/dev/block/MAJ:MIN is the device or one of its partitions; a
    // partition's "removable" flag lives with its parent disk.
    const std::string link =
        "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    char resolved[PATH_MAX];
    if (::realpath(link.c_str(), resolved) == nullptr) return false;
    std::string device = resolved;
    std::string flag;
    if (fileReadable(device + "/partition")) device = directoryOf(device);
    if (!readSmallFile(device + "/removable", flag, 16)) return false;
    return !flag.empty() && flag[0] == '1';
}

namespace {

std::string homeOf(uid_t uid) {
    passwd pw{};
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &pw, buffer, sizeof buffer, &found) == 0 && found != nullptr && found->pw_dir != nullptr &&
        found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    return std::string();
}

}  // namespace

// The service keeps its data in its state folder, not in a home.
std::string serviceAccountDataFolder() { return std::string(); }

std::string programFilesFolder(const std::string& programFile) {
    if (programFile.find('/') == std::string::npos) return std::string();
    const std::string folder = directoryOf(programFile);
    constexpr std::string_view kBin = "/bin";
    if (folder.size() > kBin.size() && folder.ends_with(kBin)) {
        const std::string shared = folder.substr(0, folder.size() - kBin.size()) + "/share/tavrel";
        if (directoryExists(shared)) return shared;
    }
    return folder;
}

bool runningAsRoot() { return geteuid() == 0; }
bool runningWithBorrowedRights() { return getuid() != geteuid() || getgid() != getegid(); }

namespace {

std::string userName(uid_t uid) {
    passwd pw{};
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &pw, buffer, sizeof buffer, &found) == 0 && found != nullptr && found->pw_name != nullptr) {
        return found->pw_name;
    }
    return "number " + std::to_string(uid);
}

// Others than the owner may change the folder's entries: it is writable by
// its group or by everyone, and not sticky (in a sticky folder such as /tmp
// only an entry's owner may move or remove it).
bool othersMayChange(const struct stat& st) { return (st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0; }

}  // namespace

std::string folderUnsafeForRoot(const std::string& folder, bool ownedByService) {
    if (!runningAsRoot() || folder.empty()) return std::string();
    // The folder as the system finds it, links above it resolved: each
    // folder on the way is one whose owner could put another in its place.
    char resolved[PATH_MAX];
    if (::realpath(folder.c_str(), resolved) == nullptr) return "it cannot be looked at: " + lastFileErrorText();
    std::string path = resolved;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "it is not a folder";
    if (st.st_uid != 0 && !ownedByService) return "it belongs to user " + userName(st.st_uid);
    if (othersMayChange(st)) return "others than its owner may change it";
    while (path.size() > 1) {
        path = directoryOf(path);
        if (::lstat(path.c_str(), &st) != 0) return "the folder " + path + " above it cannot be looked at";
        if (st.st_uid != 0) return "the folder " + path + " above it belongs to user " + userName(st.st_uid);
        if (othersMayChange(st)) return "others than root may change the folder " + path + " above it";
    }
    return std::string();
}

std::string folderUnsafeForRootWrites(const std::string& folder) {
    std::string unsafe = folderUnsafeForRoot(folder);
    if (!unsafe.empty() || !runningAsRoot()) return unsafe;
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return "it cannot be looked at: " + lastFileErrorText();
    if ((st.st_mode & 022) != 0) return "others than root may write in it";
    return std::string();
}

std::string metricsCollectorFolder() { return "/var/lib/prometheus/node-exporter"; }

std::string serviceStateFolder() {
    const char* chosen = std::getenv("TAVREL_SERVICE_STATE_DIR");
    if (chosen != nullptr && chosen[0] == '/') return chosen;
    return "/var/lib/tavrel";
}

std::string givenServiceStateFolder() {
    // systemd lists the unit's state folders separated by colons; the first
    // is the service's own.
    const char* given = std::getenv("STATE_DIRECTORY");
    if (given == nullptr || given[0] != '/') return std::string();
    std::string folder(given);
    folder = folder.substr(0, folder.find(':'));
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

std::string applicationDataFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    std::string base;
    base = home != nullptr && home[0] == '/' ? std::string(home) : homeOf(getuid());
    if (base.empty()) return std::string();
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/.config";
}

}  // namespace tavrel::platform
