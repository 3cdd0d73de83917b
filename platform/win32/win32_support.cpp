#include "platform/win32/win32_support.h"

#include <string>
#include <vector>

namespace tavrel::platform::win32 {

bool RegistryKey::open(HKEY parent, const char* path, REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, path, 0, access, &key) != ERROR_SUCCESS) return false;
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = key;
    return true;
}

bool RegistryKey::create(HKEY parent, const char* path, REGSAM access) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = key;
    return true;
}

bool RegistryKey::readText(const char* name, std::string& out) const {
    if (key_ == nullptr) return false;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    // One byte more than asked for, in case the stored text lacks its NUL.
    std::vector<char> buffer(size + 1, '\0');
    if (RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    std::string text(buffer.data());
    if (type == REG_EXPAND_SZ) {
        const DWORD needed = ExpandEnvironmentStringsA(text.c_str(), nullptr, 0);
        if (needed == 0) return false;
        std::vector<char> expanded(needed + 1, '\0');
        if (ExpandEnvironmentStringsA(text.c_str(), expanded.data(), needed + 1) == 0) return false;
        text = expanded.data();
    }
    out = text;
    return true;
}

bool RegistryKey::readBinary(const char* name, void* out, DWORD size) const {
    if (key_ == nullptr) return false;
    DWORD type = 0;
    DWORD got = size;
    if (RegQueryValueExA(key_, name, nullptr, &type, static_cast<BYTE*>(out), &got) != ERROR_SUCCESS) return false;
    return type == REG_BINARY && got == size;
}

bool enablePrivilege(const char* name) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool enabled = false;
    if (LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid)) {
        SetLastError(ERROR_SUCCESS);
        enabled = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                  GetLastError() == ERROR_SUCCESS;
    }
    CloseHandle(token);
    return enabled;
}

namespace {

bool isFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

std::string programFile(const std::string& program) {
    if (isFile(program)) return program;
    const std::string withExtension = program + ".exe";
    return isFile(withExtension) ? withExtension : program;
}

std::string quotedArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
    // Backslashes are literal except before a quote: there each one is
    // doubled, and the quote itself takes one more.
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            quoted.append(backslashes * 2 + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

}  // namespace tavrel::platform::win32
