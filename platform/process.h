// The process: its command line, its end, the clock privilege and the
// plain message box used before any window exists.
#pragma once

#include <string>
#include <vector>

namespace tavrel::platform {

// The program's file name in its folder, and the name its message boxes
// and its single-instance lock go by.
#ifdef _WIN32
inline constexpr char kProgramFileName[] = "Tavrel.exe";
inline constexpr char kProgramCaption[] = "Tavrel.exe";
#else
inline constexpr char kProgramFileName[] = "tavrel";
inline constexpr char kProgramCaption[] = "Tavrel";
#endif

// The command line as one text, program path first, arguments holding
// blanks or quotes written in double quotes (GetCommandLineA).
std::string commandLine();
// Keeps the process's arguments for commandLine(); called first by main.
void setProcessArguments(int argc, char** argv);

// The exit status of every path that ends the process, but "/q", which
// tells its outcome.
inline constexpr int kExitStatus = 0;
[[noreturn]] void exitProcess(int status = kExitStatus);

// True when this process may set the wall clock (always with the simulated
// clock).
bool clockPrivilegeAvailable();

// Takes the per-user single-instance lock of the given name, held until the
// process ends; false when another process holds it. On Linux the lock is
// a file in the user's own XDG_RUNTIME_DIR (root's in /run without one),
// opened without following links.
bool acquireSingleInstance(const std::string& name);
// Where that lock lies (Linux).
std::string singleInstanceLockPath(const std::string& name);

// This computer's name, or empty.
std::string computerName();
// The operating system, its release and the machine ("Linux 6.1.0 x86_64").
std::string systemDescription();

// Opens a file with the user's default application; false when that could
// not be started.
bool shellOpen(const std::string& path);

// Restarting with more rights: requestElevatedRestart checks that the
// elevation helper (pkexec, or the command named by TAVREL_ELEVATOR) can be
// started and remembers the request; performElevatedRestart, called when the
// program has ended its window, replaces the process with the helper running
// the program.
bool requestElevatedRestart(const std::string& program);
void performElevatedRestart();

// The narrow clock helper: when on, a window program without the right to
// set the clock runs its Correct itself and asks for more rights only for
// the clock change (runElevated with the program's helper mode), instead of
// restarting itself with them. Off by default; the window program turns it
// on for the desktop window (and for tests, TAVREL_NARROW_CLOCK_HELPER=1).
// Set before the window starts, read by the engine's thread.
void setNarrowClockHelper(bool on);
bool narrowClockHelper();

// Runs `args` (a program's full path and its arguments) through the
// elevation helper (pkexec, or the command named by TAVREL_ELEVATOR) and
// waits for it: `<elevator> args...`, standard input and output on the null
// device, standard error left to the caller's. The elevator's exit status
// (128 + the signal's number when a signal ended it), or -1 when it could
// not be started. On Windows only a TAVREL_ELEVATOR is run this way.
int runElevated(const std::vector<std::string>& args);

// Runs a program (found in PATH) with its output discarded and waits for
// it; its exit status, or -1 when it could not be started.
int runProgram(const std::vector<std::string>& argv);

// The user's commands for a file in a terminal, best first, each a shell
// command the file's name is added to: for editing $VISUAL, $EDITOR and
// sensible-editor; for reading $PAGER and sensible-pager. None on Windows.
std::vector<std::string> terminalFileCommands(bool edit);

// Runs a program (found in PATH) in the terminal the program runs in,
// with standard input and output left to it, and waits for it; its exit
// status, or -1 when it could not be started or there is no terminal.
int runInTerminal(const std::vector<std::string>& argv);

// Shows a message with an OK button and returns when it is dismissed.
// Without a window system the message goes to standard error.
void messageBox(const std::string& text, const std::string& caption);
// Shows an answer the user asked for (the usage, the version): on standard
// output, or on Windows in a message box.
void showInformation(const std::string& text, const std::string& caption);

}  // namespace tavrel::platform
