// Running as a service of the system's service manager (on Linux a
// systemd unit of Type=notify): status reports go over the notification
// socket, SIGTERM is the stop control.
#pragma once

#include <functional>
#include <string>

namespace tavrel::platform {

enum class ServiceState { StartPending, Running, StopPending, Stopped };

// True when the service manager started this process (NOTIFY_SOCKET set).
bool startedByServiceManager();

// Hands the process to the service manager: runs serviceMain on a thread of
// its own while the calling thread receives the controls and hands each to
// the handler (true for the stop control). Returns when serviceMain has
// returned; false at once when the service manager did not start the
// process, unless `byHandToo` (Linux): it then runs in the foreground, and
// Ctrl-C stops it too.
bool runServiceDispatcher(const std::function<void()>& serviceMain,
                          const std::function<void(bool stop)>& controlHandler, bool byHandToo = false);

// What the service says on standard error when started from a shell (it
// then runs in the foreground); nothing where it cannot run so.
#ifdef _WIN32
inline constexpr char kServiceRunsByHand[] = "";
#else
inline constexpr char kServiceRunsByHand[] =
    "tavrel: /x runs Tavrel as the system service, here in the foreground (systemd runs it as tavrel.service, "
    "\"systemctl start tavrel\"); stop it with Ctrl-C or kill -TERM.";
#endif

// Reports the service's state; waitHintMs extends the manager's time-out,
// checkPoint counts the steps of a long stop.
void reportServiceStatus(ServiceState state, unsigned waitHintMs, unsigned checkPoint);
// A line the service manager shows with the service's state (systemd's
// STATUS=); nothing where the manager has no such line.
void reportServiceText(const std::string& text);

}  // namespace tavrel::platform
