// What the Options sheet's System page asks of the system service and of
// the start at logon. The window program's start-up provides it; without
// one the service buttons do nothing.
#pragma once

#include <string>

namespace tavrel {

class ServiceControls {
public:
    virtual ~ServiceControls() = default;
    // Looks the service up: sets serviceInstalled and serviceRunning.
    virtual void query() = 0;
    // Registers the service; what the user should be told when refused.
    virtual std::string install() = 0;
    // Stops a running service, then removes it.
    virtual void uninstall() = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
    // Writes (or removes) the start at logon for windowsStartAction.
    virtual void registerWindowsStart() = 0;
};

// Every save of the window program: the settings, then as the last step
// the start at logon as they say (so that an entry removed by hand, or a
// program file moved, is put right at exit and at the session's end too).
// False when the settings could not be written.
bool saveSettingsAndLogonStart(ServiceControls* services);

}  // namespace tavrel
