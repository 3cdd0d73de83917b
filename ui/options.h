// The Options sheet: four pages (Servers, Auto, System, Misc) where every
// setting is edited; each page shows its settings when first shown and
// writes them back when left. The settings are saved when the sheet closes,
// whatever closed it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/auto_timer.h"
#include "engine/supervisor.h"
#include "timeservice/time_servers.h"
#include "gui/dialog.h"
#include "ui/scan_window.h"
#include "ui/service_controls.h"

namespace tavrel {

// The pieces that hold no state of the sheet's, for the pages and for tests.
void fillOptionPage(gui::WindowHandle page);
void loadOptionValues(gui::WindowHandle page);
void readServersPage(gui::WindowHandle page);
void readSystemPage(gui::WindowHandle page);
void applyEnableRules(gui::WindowHandle page);

// The QuestionBox: true for the yes answer.
bool askQuestion(gui::WindowHandle owner, const std::string& question, const std::string& yes,
                 const std::string& no);

// The window program's Options sheet, living as long as the program, on
// the window thread: what the open sheet works with (the main window it
// was opened over, its scan) and what its pages act on (the engine, the
// AutoTimer, the service controls).
class OptionsSheet {
public:
    // services: what the System page's service buttons do; without them
    // the buttons do nothing.
    OptionsSheet(Engine& engine, AutoTimer& autoTimer, TimeServers& servers, ServiceControls* services);

    // Command 101 of the main window: runs the sheet over it until OK or
    // Cancel, then saves the settings; the scan ends with the sheet.
    // Nothing while the sheet is open already.
    void open(gui::WindowHandle mainWindow);
    bool isOpen() const { return open_; }

    // The pages' pieces that act on the program.
    void readAutoPage(gui::WindowHandle page);
    void readMiscPage(gui::WindowHandle page);
    // A page's click actions; true when the id is one of them.
    bool click(gui::WindowHandle page, int id);

    // The sheet's scan window (tests).
    ScanWindow& scan() { return scan_; }

private:
    // A page's procedure; readBack writes the page's settings back when it
    // is left.
    intptr_t pageProcedure(gui::WindowHandle page, const gui::WindowMessage& message,
                           const std::function<void(gui::WindowHandle)>& readBack, bool systemPage);
    void queryService();
    void serviceButton(gui::WindowHandle page, int id);
    void resetToDefaults(gui::WindowHandle page);

    Engine& engine_;
    TimeServers& servers_;
    AutoTimer& autoTimer_;
    ServiceControls* const services_;
    // The main window the open sheet belongs to (none for pages made alone).
    gui::WindowHandle mainWindow_ = gui::kNoWindow;
    bool open_ = false;
    // Opened by the Servers page's Scan button, ended with the sheet.
    ScanWindow scan_;
};

}  // namespace tavrel
