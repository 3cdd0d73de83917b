// The program's clock-helper mode: `tavrel --apply-clock-change step|slew
// <seconds>`, run through pkexec by a window program that may not set the
// clock itself. It applies that one relative change and nothing else.
#pragma once

namespace tavrel {

// Runs the helper on the process's own arguments (argv[1] is the switch)
// and returns its exit status: 0 only when the change was applied.
int runClockHelper(int argc, char** argv);

}  // namespace tavrel
