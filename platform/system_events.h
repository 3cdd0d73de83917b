// What the machine does around the program that its periods and its
// standing depend on: it woke from sleep, its network changed (an address
// or a route came), or another program set the clock. A watcher thread
// (owned by SystemEventWatch) notes them from the system's own sources and
// calls the given wake-up; the engine takes them at its next pass.
//
// Linux sources: logind's PrepareForSleep(false) on the system bus, and a
// jump between CLOCK_BOOTTIME and CLOCK_MONOTONIC (time asleep) for a
// machine without logind; an rtnetlink socket for new addresses and
// routes; a timerfd on CLOCK_REALTIME cancelled by a step, measured as the
// change of (CLOCK_REALTIME - CLOCK_BOOTTIME). With the simulated clock the
// clock file is watched instead, so a test that rewrites its offset is
// seen as another program that set the clock. Windows: the window's
// WM_POWERBROADCAST and WM_TIMECHANGE and the service's power event are
// raised by their handlers; NotifyIpInterfaceChange gives network changes.
//
// Test seam: raiseSystemEvent from inside the process, and for the real
// program TAVREL_EVENTS_FIFO naming a FIFO (Linux) from which the watcher
// reads lines "resumed", "network" and "stepped UNITS" (100-ns units,
// signed), as the system would have reported them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace tavrel::platform {

enum class SystemEventKind {
    Resumed,         // the machine woke from sleep or hibernation
    NetworkChanged,  // an address or a route was added
    ClockStepped,    // another program set the clock
};

struct SystemEvent {
    SystemEventKind kind = SystemEventKind::Resumed;
    int64_t stepUnits = 0;  // ClockStepped: how far (100-ns units, signed)
};

// Queues an event for takeSystemEvents and calls the watch's wake-up (any
// thread). The window procedure and the service's control handler raise
// what Windows tells them; tests raise what a machine would.
void raiseSystemEvent(const SystemEvent& event);
// The events raised since the last call, oldest first.
std::vector<SystemEvent> takeSystemEvents();

// Steps of the clock made by this process are not another program's: the
// clock services (and the engine, for a step the clock helper makes on its
// behalf) note each step's size just before they make it, and note its
// negative when it failed, so that the watcher discounts it.
void noteOwnClockStep(int64_t units);
// The system said the clock was set (Linux: the timerfd was cancelled, or
// the simulated clock's file changed; Windows: WM_TIMECHANGE): measures the
// step as the change of the wall clock less the tick count since the last
// look, less this process's own steps, and raises ClockStepped when what
// is left is a step at all (10 ms or more).
void clockChangeNoticed();
// Takes the wall clock less the tick count as it stands now as the base
// of the next measurement: slews and drift since the last look are not a
// step. The watcher calls it while nothing happens.
void rebaseClockGap();

// Watches the system's sources while it lives (one at a time per process;
// events left untaken when it starts are dropped);
// `wake` is called from the watcher's thread after each event is queued.
class SystemEventWatch {
public:
    explicit SystemEventWatch(std::function<void()> wake);
    // Stops the watcher thread and waits for it.
    ~SystemEventWatch();
    SystemEventWatch(const SystemEventWatch&) = delete;
    SystemEventWatch& operator=(const SystemEventWatch&) = delete;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// False when no route leads to the address (a numeric IPv4 or IPv6
// address, as a query's address text reads): the system would refuse to
// send to it (Linux: connect on a UDP socket fails with ENETUNREACH). Sends
// nothing. True when the address is not numeric or the system cannot say.
bool routeExists(const char* address);

}  // namespace tavrel::platform
