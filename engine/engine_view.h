// What the sync engine shows the user, and of the window what it needs to
// know. The main window implements the view for its controls; the service
// has a view that shows nothing. The engine calls it from the supervisor
// thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/time.h"
#include "storage/history.h"

namespace tavrel {

class EngineView {
public:
    virtual ~EngineView() = default;
    // The status line.
    virtual void showStatus(std::string_view text) = 0;
    // The busy look while an operation runs (Abort instead of Check, Correct
    // and Options greyed, the status line emptied), or the idle look.
    virtual void showBusy(bool busy) = 0;
    // How a sync ended, in the log's words and in full ("Tavreled, Time
    // Corrected by ...", "No response from ..."), whatever the log takes.
    virtual void showOutcome(std::string_view) {}
    // The server of the last successful operation.
    virtual void showServerName(std::string_view name) = 0;
    // The clocks, as local times, while the window is shown.
    virtual void showLocalClock(const platform::SystemTime& local) = 0;
    virtual void showServerClock(const platform::SystemTime& local) = 0;
    // What follows "Ready" and the countdown: " (TIME Server Active)" and
    // the like while a time server runs, else nothing.
    virtual std::string statusSuffix() = 0;
    // An operation begins: the time zone is looked at afresh (and a locked
    // zone restored).
    virtual void operationStarting() = 0;
    // A result as the History keeps it (every Check and Correct, and each
    // round of the walk that found no server).
    virtual void resultRecorded(const HistoryEntry&) {}
    // The machine woke from sleep (the window program then starts its due
    // AutoSync or AutoCheck), and another program set the clock (AutoCheck,
    // when on, runs at once). Not called in the service, which acts itself.
    virtual void machineResumed() {}
    virtual void clockSetElsewhere() {}
    // The supervisor has left its loop (the window program then stops the
    // time servers and destroys the window; the service stops the servers).
    virtual void supervisorEnded() = 0;
};

// How the main window stands; the supervisor draws only while it is shown.
enum class WindowState : int32_t { Shown = 0, Minimised = 1, InTray = 2, Service = 99 };

}  // namespace tavrel
