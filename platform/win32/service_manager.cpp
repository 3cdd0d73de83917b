// The Windows service manager (the SCM): one service of its own process,
// started automatically (delayed, once the system's boot-time services have
// started, the network among them) as LocalSystem.
#include <windows.h>

#include "platform/service_manager.h"

#include <string>

#include "platform/win32/win32_support.h"

namespace tavrel::platform {
namespace {

// No dependencies: the delayed start comes after the network is up, and a
// dependency on TCP/IP would only hold the service back if it failed.
constexpr const char* kDependencies = nullptr;

// A handle of the service manager or of a service, closed when the owner goes.
class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
    ~ServiceHandle() { reset(nullptr); }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    void reset(SC_HANDLE handle) {
        if (handle_ != nullptr) CloseServiceHandle(handle_);
        handle_ = handle;
    }
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

SC_HANDLE openManager(DWORD access) { return OpenSCManagerA(nullptr, nullptr, access); }

// Opens a service through a manager connection of its own; false on failure.
bool openService(const std::string& name, DWORD access, ServiceHandle& manager, ServiceHandle& service) {
    manager.reset(openManager(SC_MANAGER_CONNECT));
    if (!manager) return false;
    service.reset(OpenServiceA(manager.get(), name.c_str(), access));
    return static_cast<bool>(service);
}

}  // namespace

// Windows keeps no unit file: the nearest thing is the command line the
// service manager runs, which is what installService registers.
std::string serviceUnitText(const ServiceIdentity& service) {
    std::string line = "\"" + win32::programFile(service.program) + "\"";
    if (!service.arguments.empty()) line += " " + service.arguments;
    return line;
}

// The registration lives in the service manager's database, not in a folder.
std::string serviceUnitDirectory() { return std::string(); }

bool queryService(const std::string& name, bool& installed, bool& running) {
    ServiceHandle manager(openManager(SC_MANAGER_CONNECT));
    if (!manager) return false;
    ServiceHandle service(OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    installed = static_cast<bool>(service);
    running = installed && QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING;
    return true;
}

std::string installService(const ServiceIdentity& service) {
    ServiceHandle manager(openManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) return std::string();
    const std::string command = serviceUnitText(service);
    ServiceHandle handle(CreateServiceA(manager.get(), service.name.c_str(), service.displayName.c_str(),
                                        SERVICE_CHANGE_CONFIG, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                        SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, kDependencies,
                                        nullptr /* LocalSystem */, nullptr));
    if (!handle) {
        if (GetLastError() != ERROR_SERVICE_EXISTS) return std::string();
        // Registered already: bring the registration up to date, as Linux
        // rewrites its unit.
        handle.reset(OpenServiceA(manager.get(), service.name.c_str(), SERVICE_CHANGE_CONFIG));
        if (!handle) return std::string();
        if (!ChangeServiceConfigA(handle.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                  command.c_str(), nullptr, nullptr, kDependencies, nullptr, nullptr,
                                  service.displayName.c_str())) {
            return std::string();
        }
    }
    std::string description = service.description;
    SERVICE_DESCRIPTIONA text{description.data()};
    (void)ChangeServiceConfig2A(handle.get(), SERVICE_CONFIG_DESCRIPTION, &text);
    SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
    (void)ChangeServiceConfig2A(handle.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed);
    return std::string();
}

// Windows services have no package folder of units.
std::string servicePackageUnitDirectory() { return std::string(); }

void uninstallService(const std::string& name) {
    ServiceHandle manager, service;
    if (openService(name, DELETE, manager, service)) (void)DeleteService(service.get());
}

void startService(const std::string& name) {
    ServiceHandle manager, service;
    if (openService(name, SERVICE_START, manager, service)) (void)StartServiceA(service.get(), 0, nullptr);
}

void stopService(const std::string& name) {
    ServiceHandle manager, service;
    SERVICE_STATUS status{};
    if (openService(name, SERVICE_STOP, manager, service)) {
        (void)ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    }
}

}  // namespace tavrel::platform
