#pragma once

namespace tavrel {

// What "/q" ends with.
inline constexpr int kQuickCorrected = 0;
inline constexpr int kQuickNoAnswer = 1;  // no server answered, or every reply was refused
inline constexpr int kQuickClockNotSet = 2;

// Sync and exit: walks the server list once from the selected server (or
// asks the manual address once) until a server answers, corrects the clock
// once, and returns the exit status. Writes a line for each server that
// failed and a last line with the outcome to standard error, in the log's
// words. Nothing is saved.
int runQuickMode();

}  // namespace tavrel
