#include "platform/service_manager.h"

#include <sys/stat.h>

#include <cstdlib>

#include "platform/file.h"
#include "platform/process.h"

namespace tavrel::platform {
namespace {

constexpr char kDefaultUnitDirectory[] = "/etc/systemd/system";
constexpr char kDefaultPackageUnitDirectory[] = "/lib/systemd/system";
// What the build system leaves in every build folder.
constexpr char kBuildTreeMark[] = "CMakeCache.txt";

std::string unitName(const std::string& name) { return name + ".service"; }
std::string unitPath(const std::string& name) { return serviceUnitDirectory() + "/" + unitName(name); }
std::string packageUnitPath(const std::string& name) { return servicePackageUnitDirectory() + "/" + unitName(name); }

bool inBuildTree(const std::string& program) {
    const size_t cut = program.find_last_of('/');
    return cut != std::string::npos && fileReadable(program.substr(0, cut + 1) + kBuildTreeMark);
}

// The service manager is there when systemctl can be run.
bool managerReachable() { return runProgram({"systemctl", "--version"}) == 0; }

// A path as one word of a unit's command line.
std::string quotedForUnit(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '%') out += '%';  // a literal % in a unit is written %%
        out += c;
    }
    return out + "\"";
}

}  // namespace

bool hasControlCharacters(const std::string& text) {
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return true;
    }
    return false;
}

bool onlyRootCanReplace(const std::string& program) {
    if (program.empty() || program.front() != '/') return false;
    // The file itself, then each folder up to the root.
    std::string path = program;
    while (true) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || st.st_uid != 0) return false;
        const bool othersMayWrite = (st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0);
        // A sticky folder lets others add entries but not replace root's.
        if (othersMayWrite && !(S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0)) return false;
        if (path == "/") return true;
        const size_t cut = path.find_last_of('/');
        path = cut == 0 ? "/" : path.substr(0, cut);
    }
}

std::string serviceUnitDirectory() {
    const char* dir = std::getenv("TAVREL_SYSTEMD_UNIT_DIR");
    return dir != nullptr && *dir != '\0' ? dir : kDefaultUnitDirectory;
}

std::string servicePackageUnitDirectory() {
    const char* dir = std::getenv("TAVREL_SYSTEMD_PACKAGE_UNIT_DIR");
    return dir != nullptr && *dir != '\0' ? dir : kDefaultPackageUnitDirectory;
}

std::string serviceUnitText(const ServiceIdentity& service) {
    // Runs as a user of its own (the package makes "tavrel"; without it
    // systemd lends one for the run), holding only the capabilities it
    // uses: setting the clock, and binding ports 37 and 123. The rest of
    // the system is read-only to it but its state folder (/var/lib/tavrel,
    // its data). The zone lock (timedated) and a pause of a local NTP daemon
    // holding port 123 (systemd) it asks for over D-Bus, where the package's
    // polkit rule lets this user alone have them.
    return "[Unit]\n"
           // systemctl status shows the one line: the name and what it does.
           "Description=" + service.displayName + " - " + service.description + "\n"
           "Documentation=man:tavrel(1)\n"
           "Wants=network-online.target time-sync.target\n"
           "After=network-online.target\n"
           "Before=time-sync.target\n"
           // Where the clock may not be set (a container without the
           // capability) the service is skipped rather than failing.
           "ConditionCapability=CAP_SYS_TIME\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "NotifyAccess=main\n"
           "ExecStart=" + quotedForUnit(service.program) + " " + service.arguments + "\n"
           "Restart=on-failure\n"
           // A static user of that name, where there is one, is taken as it
           // is; the state folder then lives in /var/lib/private/tavrel,
           // with /var/lib/tavrel a link to it, and a folder that an older
           // unit (run as root) left is moved there and given to the user.
           "DynamicUser=yes\n"
           "User=tavrel\n"
           "AmbientCapabilities=CAP_SYS_TIME CAP_NET_BIND_SERVICE\n"
           "CapabilityBoundingSet=CAP_SYS_TIME CAP_NET_BIND_SERVICE\n"
           "StateDirectory=tavrel\n"
           // The node exporter's textfile folder, where it exists: the
           // service's figures for it (the rest stays read-only; the
           // package lets the user write there).
           "ReadWritePaths=-/var/lib/prometheus/node-exporter\n"
           "UMask=0077\n"
           "NoNewPrivileges=yes\n"
           "ProtectSystem=strict\n"
           "ProtectHome=yes\n"
           "PrivateTmp=yes\n"
           "PrivateDevices=yes\n"
           "PrivateMounts=yes\n"
           "RemoveIPC=yes\n"
           "ProtectKernelTunables=yes\n"
           "ProtectKernelModules=yes\n"
           "ProtectKernelLogs=yes\n"
           "ProtectControlGroups=yes\n"
           "ProtectHostname=yes\n"
           "ProtectProc=invisible\n"
           "ProcSubset=pid\n"
           // Netlink for the socket diagnostics that tell which unit holds
           // port 123 (another user's processes are hidden from it).
           "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK\n"
           "RestrictNamespaces=yes\n"
           "RestrictRealtime=yes\n"
           "RestrictSUIDSGID=yes\n"
           "LockPersonality=yes\n"
           "MemoryDenyWriteExecute=yes\n"
           "SystemCallArchitectures=native\n"
           "SystemCallFilter=@system-service @clock\n"
           // Without CAP_SYS_NICE a higher priority is refused anyway.
           "SystemCallFilter=~@resources\n"
           "SystemCallErrorNumber=EPERM\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

bool queryService(const std::string& name, bool& installed, bool& running) {
    if (!managerReachable()) return false;
    const bool own = fileReadable(unitPath(name)) && runProgram({"systemctl", "cat", unitName(name)}) == 0;
    // The package's unit counts once it is enabled.
    const bool packaged = !own && fileReadable(packageUnitPath(name)) &&
                          runProgram({"systemctl", "is-enabled", "--quiet", unitName(name)}) == 0;
    installed = own || packaged;
    running = installed && runProgram({"systemctl", "is-active", "--quiet", unitName(name)}) == 0;
    return true;
}

std::string installService(const ServiceIdentity& service) {
    if (!managerReachable()) return std::string();
    // An installed package brings the unit: it only needs enabling.
    if (!fileReadable(packageUnitPath(service.name))) {
        // A unit must not run a program that the next build replaces or
        // removes, from a folder the user may delete.
        if (inBuildTree(service.program)) return kServiceFromBuildTree;
        if (hasControlCharacters(service.program)) return kServiceFromOddPath;
        if (!onlyRootCanReplace(service.program)) return kServiceFromUserWritable;
        if (!writeFileReplacing(unitPath(service.name), serviceUnitText(service), FileReaders::Everyone)) return std::string();
        (void)runProgram({"systemctl", "daemon-reload"});
    }
    (void)runProgram({"systemctl", "enable", unitName(service.name)});
    return std::string();
}

void uninstallService(const std::string& name) {
    if (!managerReachable()) return;
    (void)runProgram({"systemctl", "disable", unitName(name)});
    if (!removeFile(unitPath(name))) return;
    (void)runProgram({"systemctl", "daemon-reload"});
}

void startService(const std::string& name) { (void)runProgram({"systemctl", "start", "--no-block", unitName(name)}); }

void stopService(const std::string& name) { (void)runProgram({"systemctl", "stop", "--no-block", unitName(name)}); }

}  // namespace tavrel::platform
