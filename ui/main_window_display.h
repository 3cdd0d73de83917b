// The main window as the engine sees it: the status line, the Check/Abort
// caption, the clocks and the server's name, written from the supervisor
// thread (the dialog manager hands each text to the window thread).
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "engine/engine_view.h"
#include "gui/dialog.h"
#include "platform/time.h"

namespace tavrel {

// A clock text: the time, a line break and the long date.
std::string clockText(const platform::SystemTime& local);

class MainWindowView final : public EngineView {
public:
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
    // Stops the time servers (waiting at most 20 s), then asks the window
    // thread to destroy the window.
    void supervisorEnded() override;

private:
    std::atomic<gui::WindowHandle> window_{gui::kNoWindow};
};

}  // namespace tavrel
