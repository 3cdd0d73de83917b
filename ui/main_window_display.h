// The main window as the engine sees it: the status line, the Check/Abort
// caption, the clocks and the server's name, written from the supervisor
// thread (the dialog manager hands each text to the window thread); and the
// AutoTimer's timer and message, on the window thread.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "engine/auto_timer.h"
#include "engine/engine_view.h"
#include "timeservice/time_servers.h"
#include "gui/dialog.h"
#include "platform/time.h"

namespace tavrel {

// A clock text: the time, a line break and the long date.
std::string clockText(const platform::SystemTime& local);

// The main window's timer that the AutoTimer arms.
inline constexpr int kAutoTimerId = 10;

class MainWindowView final : public EngineView, public AutoTimerHost {
public:
    explicit MainWindowView(TimeServers& servers) : servers_(servers) {}
    // The window the texts go to, once it exists.
    void attach(gui::WindowHandle window) { window_.store(window); }
    gui::WindowHandle window() const { return window_.load(); }

    void showStatus(std::string_view text) override;
    void showBusy(bool busy) override;
    void showServerName(std::string_view name) override;
    void showLocalClock(const platform::SystemTime& local) override;
    void showServerClock(const platform::SystemTime& local) override;
    std::string statusSuffix() override;
    void operationStarting() override;
    // Handed to the window thread, where the AutoTimer lives.
    void machineResumed() override;
    void clockSetElsewhere() override;
    // Stops the time servers (waiting at most 20 s), then asks the window
    // thread to destroy the window.
    void supervisorEnded() override;

    // Timer 10 of the window; a message box of its own.
    void setAutoTimer(uint32_t ms) override;
    void killAutoTimer() override;
    void showMessage(std::string_view text, std::string_view caption) override;

private:
    std::atomic<gui::WindowHandle> window_{gui::kNoWindow};
    TimeServers& servers_;
};

}  // namespace tavrel
