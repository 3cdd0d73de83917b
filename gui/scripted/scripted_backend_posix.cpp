#include "gui/scripted/scripted_backend.h"

#include <unistd.h>

#include "gui/scripted/scripted_interpreter.h"

namespace tavrel::gui {
namespace {

// Standard input is watched by the loop's poll; each readable moment gives
// one read.
class ScriptedBackend : public ScriptedInterpreter {
public:
    using ScriptedInterpreter::ScriptedInterpreter;

    int inputDescriptor() override { return open_ ? STDIN_FILENO : -1; }

    void handleInput() override {
        char buffer[512];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            open_ = false;  // end of input: keep running, stop listening
            return;
        }
        feed(buffer, static_cast<size_t>(n));
    }

private:
    bool open_ = true;
};

}  // namespace

std::unique_ptr<DialogBackend> makeScriptedBackend(WindowHandle& target) {
    return std::make_unique<ScriptedBackend>(target);
}

}  // namespace tavrel::gui
