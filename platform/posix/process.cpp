#include "platform/process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <linux/capability.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/clock_file.h"
#include "platform/time.h"

namespace tavrel::platform {
namespace {
// The process's own command line, kept at entry.
std::vector<std::string> processArguments;

std::string quoteIfNeeded(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t") == std::string::npos) return arg;
    return "\"" + arg + "\"";
}
}  // namespace

void setProcessArguments(int argc, char** argv) {
    processArguments.assign(argv, argv + argc);
}

std::string commandLine() {
    std::string line;
    for (size_t i = 0; i < processArguments.size(); ++i) {
        if (i > 0) line += ' ';
        line += quoteIfNeeded(processArguments[i]);
    }
    return line;
}

void exitProcess(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

bool clockPrivilegeAvailable() {
    if (simulatedClockActive()) return !clock_file::simulatedRightWithheld();
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_SYS_TIME / 32].effective & (1u << (CAP_SYS_TIME % 32))) != 0;
}

namespace {

// The program that performElevatedRestart starts with more rights, as the
// process ends: asked for by the window, carried out by the entry.
std::string pendingElevation;

// Finds an executable in PATH (or takes a path as it stands).
std::string findExecutable(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = dirs.find(':', start);
        const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return std::string();
}

std::string elevator() {
    const char* chosen = std::getenv("TAVREL_ELEVATOR");
    return findExecutable(chosen != nullptr && *chosen != '\0' ? chosen : "pkexec");
}

}  // namespace

std::string singleInstanceLockPath(const std::string& name) {
    const uid_t uid = geteuid();
    // In the runtime folder when it is this user's alone. sudo may pass on
    // the calling user's XDG_RUNTIME_DIR: root then uses /run, where only
    // root writes, so that a user can neither name the file root creates
    // nor hold root's lock.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == uid && (st.st_mode & 077) == 0) {
        return std::string(runtime) + "/" + name + ".lock";
    }
    if (uid == 0) return "/run/" + name + ".lock";
    return "/tmp/" + name + "-" + std::to_string(uid) + ".lock";
}

bool acquireSingleInstance(const std::string& name) {
    const std::string path = singleInstanceLockPath(name);
    // Never through a link, and only a lock file of our own counts: one
    // that another user made (in /tmp) is no place for ours.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return true;  // no place for a lock: do not stop the user
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);
        return true;
    }
    // The descriptor stays open (and locked) for the life of the process.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    close(fd);
    return false;
}

std::string computerName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return std::string();
    return name;
}

std::string systemDescription() {
    utsname names{};
    if (uname(&names) != 0) return std::string();
    return std::string(names.sysname) + " " + names.release + " " + names.machine;
}

bool shellOpen(const std::string& path) {
    // xdg-open needs a desktop; on a console or over ssh it would fall back
    // to a browser in text mode or do nothing, so the caller's own fallback
    // (an editor or a pager in the terminal) serves better there.
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((display == nullptr || *display == '\0') && (wayland == nullptr || *wayland == '\0')) return false;
    if (findExecutable("xdg-open").empty()) return false;
    // The shell starts the opener in the background and ends at once, so
    // the opener is nobody's child to reap.
    return runProgram({"sh", "-c", "xdg-open \"$1\" >/dev/null 2>&1 </dev/null &", "sh", path}) == 0;
}

std::vector<std::string> terminalFileCommands(bool edit) {
    std::vector<std::string> commands;
    for (const char* name : edit ? std::vector<const char*>{"VISUAL", "EDITOR"} : std::vector<const char*>{"PAGER"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') commands.emplace_back(value);
    }
    const char* fallback = edit ? "sensible-editor" : "sensible-pager";
    if (!findExecutable(fallback).empty()) commands.emplace_back(fallback);
    return commands;
}

int runInTerminal(const std::vector<std::string>& args) {
    if (args.empty() || isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0) return -1;
    const std::string path = findExecutable(args[0]);
    if (path.empty()) return -1;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int runProgram(const std::vector<std::string>& args) {
    if (args.empty()) return -1;
    const std::string path = findExecutable(args[0]);
    if (path.empty()) return -1;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int started = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool requestElevatedRestart(const std::string& program) {
    const std::string helper = elevator();
    if (helper.empty() || access(program.c_str(), X_OK) != 0) return false;
    pendingElevation = program;
    return true;
}

void performElevatedRestart() {
    if (pendingElevation.empty()) return;
    const std::string helper = elevator();
    if (helper.empty()) return;
    std::fflush(nullptr);
    char* argv[] = {const_cast<char*>(helper.c_str()), const_cast<char*>(pendingElevation.c_str()), nullptr};
    execv(helper.c_str(), argv);
}

namespace {
// Written before the window starts, read by the supervisor thread.
std::atomic<bool> narrowHelperOn{false};
}  // namespace

void setNarrowClockHelper(bool on) { narrowHelperOn.store(on); }
bool narrowClockHelper() { return narrowHelperOn.load(); }

int runElevated(const std::vector<std::string>& args) {
    const std::string helper = elevator();
    if (helper.empty() || args.empty()) return -1;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(helper.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Standard error stays: what the helper or the elevator has to say of a
    // refusal reaches the user's terminal or session log.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int started = posix_spawn(&pid, helper.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void messageBox(const std::string& text, const std::string& caption) {
    std::string line = caption + ": " + text;
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    // Under systemd standard error is the journal: the box is an error
    // there ("<3>", which the journal takes as the line's priority).
    const char* socket = std::getenv("NOTIFY_SOCKET");
    const bool journal = socket != nullptr && *socket != '\0';
    std::fprintf(stderr, "%s%s\n", journal ? "<3>" : "", line.c_str());
}

void showInformation(const std::string& text, const std::string&) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace tavrel::platform
