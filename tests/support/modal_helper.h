// Answering modal windows in tests: a helper thread waits for a window with
// the given caption, lets the test look at it, then posts a command to it.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "gui/dialog.h"
#include "gui/dialog_backend.h"

namespace tavrel::test {

// Starts the helper; join it after the modal call returned.
inline std::thread answerModal(std::string caption, std::function<void(gui::WindowHandle)> look, int command) {
    return std::thread([caption = std::move(caption), look = std::move(look), command] {
        for (int tries = 0; tries < 30000; ++tries) {
            for (const gui::WindowView& w : gui::snapshotWindows()) {
                if (w.caption == caption && w.show == gui::ShowCommand::Normal) {
                    if (look) look(w.handle);
                    gui::postCommand(w.handle, command);
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
}

}  // namespace tavrel::test
