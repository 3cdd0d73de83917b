// The program's entry: the fixed start-up order and the command line.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "gui/dialog_backend.h"

namespace tavrel {

// Splits a command line: blanks and tabs separate arguments, a stretch in
// double quotes belongs to one argument (the quotes are removed), and a line
// with an odd number of double quotes has no arguments at all.
std::vector<std::string> splitCommandLine(std::string_view line);

// The switch: the last two characters of argument 1, letters lower-cased;
// empty when there is no argument 1 or it is shorter than two characters.
// The window-kind options (--terminal, --desktop) are passed over, before
// the switch or after it.
std::string readSwitch(std::string_view commandLine);

// Which window the window program shows: --terminal or --desktop anywhere
// on the command line (the last one counts), else the desktop's where a
// display can be opened.
gui::WindowKind windowKindAsked(std::string_view commandLine);

// The exit status of a process running as root that refuses its data
// folder, since another user may change it.
inline constexpr int kRootFolderRefused = 3;

// Prepares the process-wide state in its fixed order (clock privilege,
// directories, strings, settings and server list) and returns the switch.
std::string prepareProcess();

}  // namespace tavrel
