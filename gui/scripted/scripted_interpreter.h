// The part of the scripted backend that is the same on every system: it
// runs the instructions of platform/scripted_backend.h as their bytes
// arrive. Each system's backend reads standard input in its own way and
// hands the bytes to feed().
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "gui/dialog_backend.h"

namespace tavrel::gui {

class ScriptedInterpreter : public DialogBackend {
public:
    explicit ScriptedInterpreter(WindowHandle& target);

    void windowChanged(WindowHandle) override {}
    void flush() override;
    int trackPopupMenu(WindowHandle window, const std::vector<MenuItem>& items) override;
    void messageBox(WindowHandle owner, std::string_view text, std::string_view caption,
                    MessageBoxKind kind) override;

protected:
    // Runs every whole line among the bytes received so far and keeps the
    // unfinished rest (up to a bound: an endless line is dropped).
    void feed(const char* data, size_t size);

private:
    void run(const std::string& line);

    WindowHandle& target_;
    std::string pending_;
};

}  // namespace tavrel::gui
