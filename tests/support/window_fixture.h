// A main window on the headless dialog manager, with the supervisor's
// passes driven from the test thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/dialog.h"
#include "tests/support/query_fixture.h"

namespace tavrel::test {

class WindowTest : public QueryTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs supervisor passes on this thread until `done` holds (or the
    // bound of passes is reached), each followed by a wait of at most
    // waitMs on wakeEvent; true when done held.
    bool runPassesUntil(const std::function<bool()>& done, int maxPasses = 20000, uint32_t waitMs = 5);
    // Every text the status line has shown since the window was made.
    std::vector<std::string> statusTexts();
    std::string status();

    platform::WindowHandle window = platform::kNoWindow;
    std::vector<int> commands;  // commands the window procedure received
};

}  // namespace tavrel::test
