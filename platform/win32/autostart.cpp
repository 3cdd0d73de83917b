// Start at logon on Windows: a value in the user's Run key holding the
// command line. A console program gets its console window there by itself,
// so inTerminal needs nothing more.
#include <windows.h>

#include "platform/autostart.h"

#include "platform/win32/win32_support.h"

namespace tavrel::platform {
namespace {

constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

}  // namespace

std::string logonStartPath(const std::string& name) {
    return std::string("HKEY_CURRENT_USER\\") + kRunKey + "\\" + name;
}

void setLogonStart(const std::string& name, const std::string& program, const std::string& arguments,
                   bool /*inTerminal*/) {
    win32::RegistryKey run;
    if (!run.create(HKEY_CURRENT_USER, kRunKey, KEY_SET_VALUE)) return;
    std::string command = "\"" + win32::programFile(program) + "\"";
    if (!arguments.empty()) command += " " + arguments;
    (void)RegSetValueExA(run.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                         static_cast<DWORD>(command.size() + 1));
}

void removeLogonStart(const std::string& name) {
    win32::RegistryKey run;
    if (run.open(HKEY_CURRENT_USER, kRunKey, KEY_SET_VALUE)) (void)RegDeleteValueA(run.get(), name.c_str());
}

}  // namespace tavrel::platform
