// The system's service manager (on Linux systemd, through systemctl): one
// service, its unit, and the operations on it. Every operation does one
// thing and reports only whether the manager could be reached; failures
// (no rights, no service manager) leave the service as it was.
#pragma once

#include <string>

namespace tavrel::platform {

struct ServiceIdentity {
    std::string name;         // "tavrel"
    std::string displayName;  // shown by the service manager
    std::string description;
    std::string program;      // the program file the service runs
    std::string arguments;    // after the program, e.g. "/x"
};

// Looks the service up: false when the service manager cannot be reached
// (the flags are then left alone); otherwise installed tells whether the
// service is known and running whether it is active.
bool queryService(const std::string& name, bool& installed, bool& running);
// Registers the service to start automatically at boot once the network is
// up, running as a system user of its own; it is not started. On Linux an
// installed package's unit is enabled; otherwise a unit is written, but
// never one that runs a program from its build folder. Returns what the
// user should be told when it refuses, else empty.
std::string installService(const ServiceIdentity& service);

// Why a program in its build folder is not registered as the service.
inline constexpr char kServiceFromBuildTree[] =
    "The service runs an installed program only. Install Tavrel's package, or copy the program out of its "
    "build folder, and install the service from there.";
// Why a program that another user could replace is not registered: the
// service runs it with the right to set the clock.
inline constexpr char kServiceFromUserWritable[] =
    "The service runs with the right to set the clock, so it runs only a program that nobody but root can "
    "change, in folders nobody but root can change. Install Tavrel's package (or copy the program to such a "
    "folder, as root) and install the service from there.";
// Why a path with control characters (a line break) is written nowhere.
inline constexpr char kServiceFromOddPath[] =
    "The program's path holds a control character (such as a line break); the service cannot run it.";
// True when a text holds a control character (below 0x20, or DEL): such a
// path would add lines to a unit file or a desktop entry.
bool hasControlCharacters(const std::string& text);
// True when nobody but root can replace the program file: it and every
// folder above it belong to root and are writable by root alone (a
// world-writable folder with the sticky bit, such as /tmp, counts when what
// lies in it belongs to root).
bool onlyRootCanReplace(const std::string& program);

// Takes the registration away (the caller stops a running service first).
void uninstallService(const std::string& name);
// Ask the service to start or stop; neither waits.
void startService(const std::string& name);
void stopService(const std::string& name);

// The unit file installService writes (exposed for checks).
std::string serviceUnitText(const ServiceIdentity& service);
// Where unit files go: TAVREL_SYSTEMD_UNIT_DIR, else /etc/systemd/system.
std::string serviceUnitDirectory();
// Where the package puts its unit: TAVREL_SYSTEMD_PACKAGE_UNIT_DIR, else
// /lib/systemd/system.
std::string servicePackageUnitDirectory();

}  // namespace tavrel::platform
