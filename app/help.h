// What "--help" and "--version" print: the program's usage, switches, files
// and environment, and its version. Both are answered before anything else
// starts, so they create no files and open no window.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavrel {

inline constexpr char kProgramVersion[] = TAVREL_VERSION;

std::string helpText();
std::string versionText();

// The text to show when argument 1 asks for help ("--help", "-h", "/?") or
// the version ("--version"); nothing for any other command line.
std::optional<std::string> informationRequested(std::string_view commandLine);

}  // namespace tavrel
