// The program's entry: the fixed start-up order and the command line.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

// Splits a command line: blanks and tabs separate arguments, a stretch in
// double quotes belongs to one argument (the quotes are removed), and a line
// with an odd number of double quotes has no arguments at all.
std::vector<std::string> splitCommandLine(std::string_view line);

// The switch: the last two characters of argument 1, letters lower-cased;
// empty when there is no argument 1 or it is shorter than two characters.
std::string readSwitch(std::string_view commandLine);

// The exit status of a process running as root that refuses its data
// folder, since another user may change it.
inline constexpr int kRootFolderRefused = 3;

// Prepares the process-wide state in its fixed order (clock privilege,
// directories, strings, settings and server list) and returns the switch.
std::string prepareProcess();

}  // namespace tavrel
