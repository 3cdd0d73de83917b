#include "platform/process.h"

#include <cstdio>
#include <cstdlib>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/time.h"

namespace tavrel::platform {
namespace {
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

void exitProcess() {
    std::fflush(nullptr);
    std::_Exit(kExitStatus);
}

bool clockPrivilegeAvailable() {
    if (simulatedClockActive()) return true;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_SYS_TIME / 32].effective & (1u << (CAP_SYS_TIME % 32))) != 0;
}

void messageBox(const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

}  // namespace tavrel::platform
