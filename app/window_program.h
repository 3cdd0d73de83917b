#pragma once

#include <string>

namespace tavrel {

// The window program: "/s" handling, the single instance, the main window
// and the message loop, until the program ends.
void runWindowProgram(const std::string& startSwitch);

}  // namespace tavrel
