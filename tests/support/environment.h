// Setting and clearing environment variables in tests, on every system.
#pragma once

#include <cstdlib>
#include <string>

namespace tavrel::test {

inline void setEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

inline void unsetEnv(const char* name) {
#ifdef _WIN32
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

}  // namespace tavrel::test
