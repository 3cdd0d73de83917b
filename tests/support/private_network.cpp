#include "tests/support/private_network.h"

#include <cstdio>
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
    return bringLoopbackUp();
}

bool placeFileOver(const std::string& file, const std::string& over) {
    return mount(file.c_str(), over.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

void removeFileOver(const std::string& over) { (void)umount(over.c_str()); }

}  // namespace tavrel::test
