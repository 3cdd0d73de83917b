#include "platform/time_service.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/file.h"
#include "platform/process.h"

namespace tavrel::platform {
namespace {

constexpr const char* kCandidates[] = {"chrony.service", "chronyd.service", "ntpsec.service",
                                       "ntp.service",    "ntpd.service",    "openntpd.service"};

bool systemdRunning() { return directoryExists("/run/systemd/system"); }

// The inodes of the sockets bound to the local port in one of the kernel's
// tables (/proc/net/udp, /proc/net/udp6): "sl local_address rem_address st
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

}  // namespace

PortHolder udpPortHolder(uint16_t port) {
    std::set<std::string> inodes;
    socketInodes("/proc/net/udp", port, inodes);
    socketInodes("/proc/net/udp6", port, inodes);
    PortHolder holder;
    if (inodes.empty()) return holder;
    holder.pid = processWithSocket(inodes);
    if (holder.pid == 0) return holder;
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
