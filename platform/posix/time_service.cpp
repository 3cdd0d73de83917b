#include "platform/time_service.h"

#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/file.h"
#include "platform/process.h"

namespace tavrel::platform {
namespace {

// The package's polkit rule (tavrel.rules) lets the service's user stop and
// start these units: the two lists go together.
constexpr const char* kCandidates[] = {"chrony.service", "chronyd.service", "ntpsec.service",
                                       "ntp.service",    "ntpd.service",    "openntpd.service"};
// Where systemd puts the units of services, on the unified control-group
// hierarchy (or its mount beside the older ones).
constexpr const char* kServiceSlices[] = {"/sys/fs/cgroup/system.slice/", "/sys/fs/cgroup/unified/system.slice/"};
constexpr long kCgroup2Magic = 0x63677270;
// One read of the kernel's socket diagnostics, and how many reads a dump
// may take (a few sockets share a port).
constexpr size_t kDiagnosticsBuffer = 16384;
constexpr int kDiagnosticsReads = 64;
constexpr int kDiagnosticsWaitSeconds = 1;

bool systemdRunning() { return directoryExists("/run/systemd/system"); }

// The inodes of the sockets bound to the local port in one of the kernel's
// tables (udp, udp6 in /proc/self/net): "sl local_address rem_address st
// tx:rx tr:when retrnsmt uid timeout inode ...", the port in hex after the
// address's colon.
void socketInodes(const char* table, uint16_t port, std::set<std::string>& inodes) {
    std::ifstream lines(table);
    std::string line;
    std::getline(lines, line);  // the header
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        if (local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0 && !inode.empty() && inode != "0") {
            inodes.insert(inode);
        }
    }
}

// The first process with a descriptor open on one of the sockets.
int processWithSocket(const std::set<std::string>& inodes) {
    DIR* processes = opendir("/proc");
    if (processes == nullptr) return 0;
    int found = 0;
    while (found == 0) {
        const dirent* entry = readdir(processes);
        if (entry == nullptr) break;
        const std::string pid = entry->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) continue;  // gone, or not ours to look into
        while (const dirent* fd = readdir(fds)) {
            char target[64] = {};
            const std::string link = fdDir + "/" + fd->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            const std::string text(target, static_cast<size_t>(n));
            if (text.starts_with("socket:[") && inodes.count(text.substr(8, text.size() - 9)) > 0) {
                found = std::stoi(pid);
                break;
            }
        }
        closedir(fds);
    }
    closedir(processes);
    return found;
}

std::string firstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The time service whose unit a process's control groups name
// ("0::/system.slice/chrony.service"), or empty.
std::string timeServiceInCgroup(const std::string& cgroupText) {
    std::istringstream lines(cgroupText);
    for (std::string line; std::getline(lines, line);) {
        for (const char* unit : kCandidates) {
            const std::string component = std::string("/") + unit;
            const size_t at = line.find(component);
            if (at == std::string::npos) continue;
            const size_t end = at + component.size();
            if (end == line.size() || line[end] == '/') return unit;
        }
    }
    return std::string();
}

// A descriptor owned for the length of a scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Adds the control groups (by id) of the sockets of one address family
// bound to the local UDP port, as the kernel's socket diagnostics tell them
// to any process: a socket is in the group of the process that made it.
void socketCgroups(int diagnostics, uint8_t family, uint16_t port, std::set<uint64_t>& groups) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } ask{};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    ask.request.sdiag_family = family;
    ask.request.sdiag_protocol = IPPROTO_UDP;
    ask.request.idiag_states = ~0u;  // a bound UDP socket counts as closed, a connected one as established
    ask.request.id.idiag_sport = htons(port);
    if (send(diagnostics, &ask, sizeof ask, 0) != static_cast<ssize_t>(sizeof ask)) return;
    alignas(nlmsghdr) char buffer[kDiagnosticsBuffer];
    for (int reads = 0; reads < kDiagnosticsReads; ++reads) {
        const ssize_t got = recv(diagnostics, buffer, sizeof buffer, 0);
        if (got <= 0) return;
        auto left = static_cast<unsigned>(got);
        for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(message, left);
             message = NLMSG_NEXT(message, left)) {
            if (message->nlmsg_type == NLMSG_DONE || message->nlmsg_type == NLMSG_ERROR) return;
            if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
            if (message->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
            auto* socket = static_cast<inet_diag_msg*>(NLMSG_DATA(message));
            if (ntohs(socket->id.idiag_sport) != port) continue;
            auto attributesLeft = static_cast<unsigned>(message->nlmsg_len - NLMSG_LENGTH(sizeof *socket));
            for (auto* attribute = reinterpret_cast<rtattr*>(socket + 1); RTA_OK(attribute, attributesLeft);
                 attribute = RTA_NEXT(attribute, attributesLeft)) {
                if (attribute->rta_type != INET_DIAG_CGROUP_ID || RTA_PAYLOAD(attribute) < sizeof(uint64_t)) continue;
                uint64_t id = 0;
                std::memcpy(&id, RTA_DATA(attribute), sizeof id);
                groups.insert(id);
            }
        }
    }
}

// The time service whose unit's control group made a socket bound to the
// port. A process of another user's (the service runs as its own) shows no
// descriptors, but the socket's group tells its unit: a group's id is its
// folder's inode on the unified hierarchy.
std::string timeServiceOfPort(uint16_t port) {
    const Descriptor diagnostics(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (diagnostics.get() < 0) return std::string();
    const timeval wait{kDiagnosticsWaitSeconds, 0};
    (void)setsockopt(diagnostics.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::set<uint64_t> groups;
    socketCgroups(diagnostics.get(), AF_INET, port, groups);
    socketCgroups(diagnostics.get(), AF_INET6, port, groups);
    if (groups.empty()) return std::string();
    for (const char* slice : kServiceSlices) {
        for (const char* unit : kCandidates) {
            const std::string folder = std::string(slice) + unit;
            struct stat st {};
            struct statfs fs {};
            if (::stat(folder.c_str(), &st) != 0 || statfs(folder.c_str(), &fs) != 0 || fs.f_type != kCgroup2Magic) {
                continue;
            }
            if (groups.count(static_cast<uint64_t>(st.st_ino)) > 0) return unit;
        }
    }
    return std::string();
}

}  // namespace

PortHolder udpPortHolder(uint16_t port) {
    // The tables through the process's own folder: a /proc that shows
    // processes only (the service's) has no /proc/net.
    std::set<std::string> inodes;
    socketInodes("/proc/self/net/udp", port, inodes);
    socketInodes("/proc/self/net/udp6", port, inodes);
    PortHolder holder;
    if (!inodes.empty()) holder.pid = processWithSocket(inodes);
    if (holder.pid == 0) {
        holder.service = timeServiceOfPort(port);
        return holder;
    }
    const std::string dir = "/proc/" + std::to_string(holder.pid);
    holder.program = firstLine(dir + "/comm");
    std::ifstream cgroup(dir + "/cgroup");
    std::stringstream text;
    text << cgroup.rdbuf();
    holder.service = timeServiceInCgroup(text.str());
    return holder;
}

std::string sntpPortAdvice() { return "another program holds UDP port 123, or the right to it is missing."; }

std::string runningTimeService() {
    if (!systemdRunning()) return std::string();
    for (const char* unit : kCandidates) {
        if (runProgram({"systemctl", "is-active", "--quiet", unit}) == 0) return unit;
    }
    return std::string();
}

void stopTimeService(const std::string& service) {
    if (!service.empty()) (void)runProgram({"systemctl", "stop", "--no-block", service});
}

void startTimeService(const std::string& service) {
    if (!service.empty()) (void)runProgram({"systemctl", "start", "--no-block", service});
}

}  // namespace tavrel::platform
