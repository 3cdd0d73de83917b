// The Windows process: its command line, its end, the clock privilege, the
// single-instance mutex, the programs it starts and the message box.
#include <windows.h>
#include <shellapi.h>

#include "platform/process.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/clock_file.h"
#include "platform/time.h"
#include "platform/win32/win32_support.h"

namespace tavrel::platform {
namespace {

// The process's own command line, kept as on Linux, though GetCommandLineA
// is what commandLine() reads.
std::vector<std::string> processArguments;
// The single-instance mutex, held until the process ends.
HANDLE singleInstance = nullptr;
// The program that performElevatedRestart starts with more rights, as the
// process ends: asked for by the window, carried out by the entry.
std::string pendingElevation;

bool isFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A program named as on Linux: a path as it stands (".exe" may be left
// off), else a file found along PATH. Empty when there is none.
std::string findExecutable(const std::string& name) {
    if (name.empty()) return std::string();
    if (name.find_first_of("\\/:") != std::string::npos) {
        const std::string file = win32::programFile(name);
        return isFile(file) ? file : std::string();
    }
    const char* path = std::getenv("PATH");
    if (path == nullptr || *path == '\0') return std::string();
    char found[MAX_PATH];
    const DWORD n = SearchPathA(path, name.c_str(), ".exe", MAX_PATH, found, nullptr);
    return n > 0 && n < MAX_PATH ? std::string(found, n) : std::string();
}

// The helper named by TAVREL_ELEVATOR, which stands in for the system's
// elevation prompt; empty when the variable is not set.
std::string chosenElevator() {
    const char* chosen = std::getenv("TAVREL_ELEVATOR");
    return chosen != nullptr && *chosen != '\0' ? chosen : std::string();
}

std::string commandLineOf(const std::vector<std::string>& args) {
    std::string line;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i > 0) line += ' ';
        line += win32::quotedArgument(args[i]);
    }
    return line;
}

// True when this process has a visible window station. A service has none,
// and a message box there would wait for ever with nobody to see it.
bool windowSystemAvailable() {
    HWINSTA station = GetProcessWindowStation();
    USEROBJECTFLAGS flags{};
    if (station == nullptr || !GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, nullptr)) {
        return false;
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Starts `program` with the command line `line`, its standard handles on
// the null device and no other handle inherited, without a window.
HANDLE startDetachedFromOutput(const std::string& program, std::string line) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    if (nul == INVALID_HANDLE_VALUE) return nullptr;
    SIZE_T listSize = 0;
    (void)InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<char> listBuffer(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBuffer.data());
    HANDLE process = nullptr;
    if (InitializeProcThreadAttributeList(list, 1, 0, &listSize)) {
        if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &nul, sizeof nul, nullptr,
                                      nullptr)) {
            STARTUPINFOEXA startup{};
            startup.StartupInfo.cb = sizeof startup;
            startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
            startup.StartupInfo.hStdInput = nul;
            startup.StartupInfo.hStdOutput = nul;
            startup.StartupInfo.hStdError = nul;
            startup.lpAttributeList = list;
            PROCESS_INFORMATION info{};
            if (CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                               EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup.StartupInfo, &info)) {
                CloseHandle(info.hThread);
                process = info.hProcess;
            }
        }
        DeleteProcThreadAttributeList(list);
    }
    CloseHandle(nul);
    return process;
}

std::string machineName() {
    SYSTEM_INFO system{};
    GetNativeSystemInfo(&system);
    switch (system.wProcessorArchitecture) {
        case PROCESSOR_ARCHITECTURE_AMD64: return "x86_64";
        case PROCESSOR_ARCHITECTURE_ARM64: return "aarch64";
        case PROCESSOR_ARCHITECTURE_INTEL: return "i686";
        case PROCESSOR_ARCHITECTURE_ARM: return "arm";
        default: return "unknown";
    }
}

}  // namespace

void setProcessArguments(int argc, char** argv) { processArguments.assign(argv, argv + argc); }

std::string commandLine() {
    const char* line = GetCommandLineA();
    return line != nullptr ? line : std::string();
}

void exitProcess(int status) {
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(status));
}

bool clockPrivilegeAvailable() {
    if (simulatedClockActive()) return !clock_file::simulatedRightWithheld();
    return win32::enablePrivilege("SeSystemtimePrivilege");
}

bool acquireSingleInstance(const std::string& name) {
    // A named mutex in the session's namespace; the handle stays open for
    // the life of the process.
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    if (mutex == nullptr) return true;  // no lock to be had: do not stop the user
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return false;
    }
    if (singleInstance == nullptr) singleInstance = mutex;
    return true;
}

std::string computerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return std::string();
    return std::string(name, size);
}

std::string systemDescription() {
    // RtlGetVersion tells the true release; GetVersionEx is held at the
    // release the program's manifest names.
    using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    FARPROC found = ntdll != nullptr ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
    const auto getVersion = reinterpret_cast<RtlGetVersion>(reinterpret_cast<void*>(found));
    std::string release;
    if (getVersion != nullptr && getVersion(&info) == 0) {
        release = " " + std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + " " +
                  std::to_string(info.dwBuildNumber);
    }
    return "Windows" + release + " " + machineName();
}

bool shellOpen(const std::string& path) {
    const HINSTANCE result = ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    // Values above 32 mean success.
    return reinterpret_cast<INT_PTR>(result) > 32;
}

// Tavrel.exe shows real windows, not a terminal: there is none to lend,
// and the shell's file associations open every file.
std::vector<std::string> terminalFileCommands(bool) { return {}; }

int runInTerminal(const std::vector<std::string>&) { return -1; }

int runProgram(const std::vector<std::string>& args) {
    if (args.empty()) return -1;
    const std::string program = findExecutable(args[0]);
    if (program.empty()) return -1;
    HANDLE process = startDetachedFromOutput(program, commandLineOf(args));
    if (process == nullptr) return -1;
    DWORD code = 0;
    const bool ended = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return ended ? static_cast<int>(code) : -1;
}

bool requestElevatedRestart(const std::string& program) {
    const std::string file = win32::programFile(program);
    if (!isFile(file)) return false;
    const std::string helper = chosenElevator();
    if (!helper.empty() && findExecutable(helper).empty()) return false;
    pendingElevation = file;
    return true;
}

void performElevatedRestart() {
    if (pendingElevation.empty()) return;
    std::fflush(nullptr);
    // The new instance takes the single-instance lock over; on Linux the
    // exec lets it go in the same way.
    if (singleInstance != nullptr) {
        CloseHandle(singleInstance);
        singleInstance = nullptr;
    }
    const std::string chosen = chosenElevator();
    if (chosen.empty()) {
        // The "runas" verb asks the user for more rights (the UAC prompt).
        (void)ShellExecuteA(nullptr, "runas", pendingElevation.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        return;
    }
    const std::string helper = findExecutable(chosen);
    if (helper.empty()) return;
    std::string line = commandLineOf({helper, pendingElevation});
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (CreateProcessA(helper.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}

namespace {
// Written before the window starts, read by the supervisor thread.
std::atomic<bool> narrowHelperOn{false};
}  // namespace

void setNarrowClockHelper(bool on) { narrowHelperOn.store(on); }
bool narrowClockHelper() { return narrowHelperOn.load(); }

int runElevated(const std::vector<std::string>& args) {
    // Windows elevates a whole program through its prompt (the restart);
    // only a stand-in named by TAVREL_ELEVATOR runs a single command.
    const std::string chosen = chosenElevator();
    if (chosen.empty() || args.empty()) return -1;
    std::vector<std::string> line{chosen};
    line.insert(line.end(), args.begin(), args.end());
    return runProgram(line);
}

void messageBox(const std::string& text, const std::string& caption) {
    const char* headless = std::getenv("TAVREL_HEADLESS");
    if ((headless != nullptr && *headless != '\0') || !windowSystemAvailable()) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return;
    }
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK);
}

void showInformation(const std::string& text, const std::string& caption) {
    const char* headless = std::getenv("TAVREL_HEADLESS");
    if ((headless != nullptr && *headless != '\0') || !windowSystemAvailable()) {
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
        return;
    }
    // A message box shows its text in a proportional font: lines, not columns.
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION);
}

}  // namespace tavrel::platform
