// Running as a Windows service: the calling thread becomes the service
// control dispatcher, which hands each control to the handler, while the
// service manager runs serviceMain on a thread of its own.
#include <windows.h>

#include "platform/service_dispatcher.h"
#include "platform/system_events.h"

#include <atomic>
#include <mutex>

namespace tavrel::platform {
namespace {

// The service table's name; a service of its own process may give any.
constexpr char kServiceName[] = "tavrel";

// The one service of the process, as the service manager sees it: it calls
// plain functions with no pointer of ours, so what runServiceDispatcher was
// given and the status handle live here.
std::function<void()> serviceMainFunction;
std::function<void(bool stop)> controlFunction;
std::atomic<SERVICE_STATUS_HANDLE> statusHandle{nullptr};
// Set when serviceMain has returned.
HANDLE mainEnded = nullptr;
// Keeps the reports from the two threads in the order they were made.
std::mutex reportMutex;

DWORD WINAPI handleControl(DWORD control, DWORD eventType, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN: controlFunction(true); return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE: controlFunction(false); return NO_ERROR;
        case SERVICE_CONTROL_POWEREVENT:
            // The machine woke (by itself or for the user): the engine syncs.
            if (eventType == PBT_APMRESUMEAUTOMATIC) raiseSystemEvent(SystemEvent{SystemEventKind::Resumed});
            return NO_ERROR;
        default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI runServiceMain(DWORD, LPSTR*) {
    const SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExA(kServiceName, handleControl, nullptr);
    if (handle == nullptr) return;
    statusHandle.store(handle);
    serviceMainFunction();
    SetEvent(mainEnded);
}

DWORD win32State(ServiceState state) {
    switch (state) {
        case ServiceState::StartPending: return SERVICE_START_PENDING;
        case ServiceState::Running: return SERVICE_RUNNING;
        case ServiceState::StopPending: return SERVICE_STOP_PENDING;
        case ServiceState::Stopped: break;
    }
    return SERVICE_STOPPED;
}

}  // namespace

// Only the service manager starts the program with the service switch, and
// Windows gives no sign of it before the dispatcher tries to connect: so
// yes, and runServiceDispatcher finds out.
bool startedByServiceManager() { return true; }

void reportServiceStatus(ServiceState state, unsigned waitHintMs, unsigned checkPoint) {
    const SERVICE_STATUS_HANDLE handle = statusHandle.load();
    if (handle == nullptr) return;  // not running as a service
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = win32State(state);
    status.dwControlsAccepted =
        state == ServiceState::Running ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT : 0;
    status.dwWin32ExitCode = NO_ERROR;
    const bool pending = state == ServiceState::StartPending || state == ServiceState::StopPending;
    status.dwCheckPoint = pending ? checkPoint : 0;
    status.dwWaitHint = waitHintMs;
    std::lock_guard lock(reportMutex);
    (void)SetServiceStatus(handle, &status);
}

bool runServiceDispatcher(const std::function<void()>& serviceMain,
                          const std::function<void(bool stop)>& controlHandler, bool) {
    serviceMainFunction = serviceMain;
    controlFunction = controlHandler;
    if (mainEnded == nullptr) mainEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (mainEnded == nullptr) return false;
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), runServiceMain}, {nullptr, nullptr}};
    // Fails at once, with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, when the
    // service manager did not start the process.
    if (!StartServiceCtrlDispatcherA(table)) return false;
    // The dispatcher returns once the service reported itself stopped,
    // which serviceMain does just before it returns.
    if (statusHandle.load() != nullptr) WaitForSingleObject(mainEnded, INFINITE);
    return true;
}

// The service control manager keeps no status line.
void reportServiceText(const std::string&) {}

}  // namespace tavrel::platform
