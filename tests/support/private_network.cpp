#include "tests/support/private_network.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavrel::test {
namespace {

bool writeText(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

bool bringLoopbackUp() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        ok = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    close(fd);
    return ok;
}

std::string readText(const char* path, bool& found) {
    std::string text;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    found = fd >= 0;
    if (fd < 0) return text;
    char chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(n));
    close(fd);
    return text;
}

bool createText(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// The names the tests resolve are their own, whatever this machine's
// /etc/hosts and name service say (as tests/support/names.sh does for the
// scripts): "localhost" is 127.0.0.1 and ::1, no other address has a name,
// and lookups go to the file, then to DNS as resolv.conf says (nowhere in
// a fresh network namespace). The files stand over the machine's in this
// mount namespace only.
bool placeOwnNames() {
    bool hostsFound = false;
    (void)readText("/etc/hosts", hostsFound);
    if (!hostsFound) {
        std::fprintf(stderr, "this machine has no /etc/hosts to stand over\n");
        return false;
    }
    bool nsswitchFound = false;
    const std::string nsswitch = readText("/etc/nsswitch.conf", nsswitchFound);
    // The files live in a file system of this namespace's own, mounted on a
    // fresh folder and detached from it once they are in place: nothing is
    // left behind however the process ends, and the files stay linked, so
    // a test can put another file over them in turn.
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/tavrel-names.XXXXXX";
    if (!mkdtemp(folder.data())) return false;
    if (mount("tavrel-names", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "size=64k") != 0) {
        rmdir(folder.c_str());
        return false;
    }
    const std::string hosts = folder + "/hosts";
    const std::string names = folder + "/nsswitch.conf";
    bool ok = createText(hosts, "127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n") &&
              placeFileOver(hosts, "/etc/hosts");
    if (ok && nsswitchFound) {
        // Every line as it was but the hosts line.
        std::string own;
        size_t at = 0;
        while (at < nsswitch.size()) {
            const size_t end = std::min(nsswitch.find('\n', at), nsswitch.size());
            const std::string line = nsswitch.substr(at, end - at);
            const size_t word = line.find_first_not_of(" \t");
            if (word == std::string::npos || line.compare(word, 6, "hosts:") != 0) own += line + "\n";
            at = end + 1;
        }
        own += "hosts: files dns\n";
        ok = createText(names, own) && placeFileOver(names, "/etc/nsswitch.conf");
    }
    (void)umount2(folder.c_str(), MNT_DETACH);
    rmdir(folder.c_str());
    return ok;
}

}  // namespace

bool enterPrivateNetwork() {
    // A mount namespace too, so that tests may put files (a resolv.conf) in
    // place for this process alone.
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        // Not root: a user namespace of our own grants the rights in it.
        const uid_t uid = getuid();
        const gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS) != 0) return false;
        writeText("/proc/self/setgroups", "deny");
        if (!writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            return false;
        }
    }
    // Mounts made here stay here.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    return placeOwnNames() && bringLoopbackUp();
}

bool placeFileOver(const std::string& file, const std::string& over) {
    return mount(file.c_str(), over.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

void removeFileOver(const std::string& over) { (void)umount(over.c_str()); }

}  // namespace tavrel::test
