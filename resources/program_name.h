// The program's name and version, from the build's one version number.
#pragma once

#ifndef TAVREL_VERSION
#error "the build defines TAVREL_VERSION"
#endif

namespace tavrel {

// "Tavrel 1.5": the title of the sheet, the question box, the tray tip and
// the time-zone caption.
inline constexpr char kProgramTitle[] = "Tavrel " TAVREL_VERSION;

}  // namespace tavrel
