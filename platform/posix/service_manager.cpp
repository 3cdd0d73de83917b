#include "platform/service_manager.h"

#include <cstdlib>

#include "platform/file.h"
#include "platform/process.h"

namespace tavrel::platform {
namespace {

constexpr char kDefaultUnitDirectory[] = "/etc/systemd/system";

std::string unitName(const std::string& name) { return name + ".service"; }
std::string unitPath(const std::string& name) { return serviceUnitDirectory() + "/" + unitName(name); }

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

std::string serviceUnitDirectory() {
    const char* dir = std::getenv("TAVREL_SYSTEMD_UNIT_DIR");
    return dir != nullptr && *dir != '\0' ? dir : kDefaultUnitDirectory;
}

std::string serviceUnitText(const ServiceIdentity& service) {
    return "[Unit]\n"
           "Description=" + service.displayName + "\n"
           "X-Tavrel-Description=" + service.description + "\n"
           "Wants=network-online.target\n"
           "After=network-online.target\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "NotifyAccess=main\n"
           "ExecStart=" + quotedForUnit(service.program) + " " + service.arguments + "\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

bool queryService(const std::string& name, bool& installed, bool& running) {
    if (!managerReachable()) return false;
    installed = fileReadable(unitPath(name)) && runProgram({"systemctl", "cat", unitName(name)}) == 0;
    running = installed && runProgram({"systemctl", "is-active", "--quiet", unitName(name)}) == 0;
    return true;
}

void installService(const ServiceIdentity& service) {
    if (!managerReachable()) return;
    if (!writeFileReplacing(unitPath(service.name), serviceUnitText(service))) return;
    (void)runProgram({"systemctl", "daemon-reload"});
    (void)runProgram({"systemctl", "enable", unitName(service.name)});
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
