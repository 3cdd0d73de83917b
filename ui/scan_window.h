// The "SyncScan" window: the server scan's findings listed as they come
// (the server, its address, its TIME and SNTP response in ms), its title
// saying when the scan has finished, and "Sort by response" once it has.
// A one-second timer drives the measurement (servers/server_scan.h).
#pragma once

#include <cstdint>
#include <memory>

#include "engine/supervisor.h"
#include "gui/dialog.h"
#include "servers/server_scan.h"

namespace tavrel {

inline constexpr int kScanTimerId = 1;

// The Options sheet's scan: at most one open at a time, with the queries
// the scans gave up. Lives on the window thread, as long as the sheet's
// owner; destroying it ends an open scan and waits for the queries given
// up.
class ScanWindow {
public:
    explicit ScanWindow(Engine& engine) : engine_(engine) {}
    ~ScanWindow() { end(); }
    ScanWindow(const ScanWindow&) = delete;
    ScanWindow& operator=(const ScanWindow&) = delete;

    // Opens the window and starts measuring; refused (false) while a Check
    // or Correct runs or the scan is open. Operations wait while it
    // measures.
    bool open(gui::WindowHandle owner = gui::kNoWindow);
    // Ends the scan: gives up a running query and closes the window.
    void end();
    // The open window, or none.
    gui::WindowHandle window() const { return window_; }

    // True while a query the scans gave up has not yet ended (tests).
    bool queriesPending() { return givenUp_.pending(); }
    // The measurement under way has its answer (or failure): the next tick
    // records it (tests).
    bool measurementDone() const { return scan_ && scan_->answerReady(); }

private:
    intptr_t procedure(const gui::WindowMessage& message);
    void startStep();
    void tick();
    void show(const ScanFinding& finding);
    void finish();
    void sortList();

    Engine& engine_;
    GivenUpQueries givenUp_;
    // The measurement while the window is open.
    std::unique_ptr<ServerScan> scan_;
    gui::WindowHandle window_ = gui::kNoWindow;
};

}  // namespace tavrel
