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

// Sets (or, with no value, clears) an environment variable for the rest of
// a scope and puts back what was there when the scope ends, a failed
// assertion included.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value != nullptr) {
            setEnv(name, value);
        } else {
            unsetEnv(name);
        }
    }
    ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
    ~ScopedEnv() {
        if (had_) {
            setEnv(name_, old_);
        } else {
            unsetEnv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

// True when the tests run under Wine rather than Windows. Wine differs from
// Windows in two socket details that a few tests rely on: a UDP socket bound
// to one loopback address holds the port on all of them, and a datagram to
// a closed port never fails the connected socket's receive.
bool runningUnderWine();

// True when this machine has the IPv6 loopback (a UDP socket binds ::1).
bool ipv6LoopbackAvailable();

}  // namespace tavrel::test
