// A dialog-manager backend for tests: no screen, but it keeps every text a
// control was given, the menus and message boxes shown and the programs
// run in its terminal, and answers the next menu with a chosen command.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "gui/dialog_backend.h"

namespace tavrel::test {

class RecordingBackend : public gui::DialogBackend {
public:
    RecordingBackend() { gui::setDialogBackend(this); }
    ~RecordingBackend() override { gui::setDialogBackend(nullptr); }

    void windowChanged(gui::WindowHandle) override {}
    int inputDescriptor() override { return -1; }
    void handleInput() override {}
    void flush() override {}
    void controlTextChanged(gui::WindowHandle window, int id, std::string_view text) override;
    int trackPopupMenu(gui::WindowHandle window, const std::vector<gui::MenuItem>& items) override;
    void messageBox(gui::WindowHandle owner, std::string_view text, std::string_view caption,
                    gui::MessageBoxKind kind) override;
    int runInTerminal(const std::vector<std::string>& argv) override;

    // The texts control `id` was given since the last clear, oldest first.
    std::vector<std::string> texts(gui::WindowHandle window, int id);
    void clearTexts(gui::WindowHandle window, int id);
    // The menus shown, one text each ("About|Help|-|Exit").
    std::vector<std::string> menus();
    // The message boxes shown ("caption: text").
    std::vector<std::string> messageBoxes();
    // The command the next menu returns (0: none chosen).
    void chooseFromNextMenu(int command);
    // The programs run in the terminal, one text each (the arguments joined
    // by blanks), and the status each of them ends with (-1, the default:
    // there is no terminal to run them in).
    std::vector<std::string> terminalRuns();
    void setTerminalStatus(int status);

private:
    std::mutex mutex_;
    std::map<std::pair<gui::WindowHandle, int>, std::vector<std::string>> texts_;
    std::vector<std::string> menus_;
    std::vector<std::string> boxes_;
    int nextChoice_ = 0;
    std::vector<std::string> terminalRuns_;
    int terminalStatus_ = -1;
};

}  // namespace tavrel::test
