#include "app/clock_helper.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "engine/clock_helper.h"
#include "platform/file.h"
#include "platform/time.h"

namespace tavrel {
namespace {

int refuse(int status, const std::string& why) {
    std::fprintf(stderr, "tavrel %s: %s\n", kClockHelperSwitch, why.c_str());
    return status;
}

std::string folderOf(const std::string& path) {
    const size_t cut = path.find_last_of('/');
    if (cut == std::string::npos) return ".";
    return cut == 0 ? "/" : path.substr(0, cut);
}

}  // namespace

// The helper runs as root from pkexec, with arguments and (whatever pkexec
// leaves of it) an environment chosen by the user who asked. So it reads no
// settings and no file of the user's, writes no log, and takes nothing but
// the change from its arguments, checked strictly. The one variable it
// follows is the simulated clock's (the tests run the helper with it); as
// root it is followed only into a folder that root alone may change, and
// never through a link there, else the helper refuses: a file in a folder
// the user may change would let the user steer root's writes, and falling
// back to the real clock would set the machine's clock for a caller who
// asked for the simulated one. A process whose real and effective users
// differ does not take the variable from its caller at all.
int runClockHelper(int argc, char** argv) {
    std::vector<std::string_view> args;
    for (int i = 2; i < argc; ++i) args.emplace_back(argv[i]);
    ClockChange change;
    std::string why;
    if (!parseClockHelperArguments(args, change, why)) return refuse(kHelperArgumentsRefused, why);
    const std::string simulated = platform::simulatedClockFilePath();
    if (!simulated.empty()) {
        if (platform::runningWithBorrowedRights()) {
            return refuse(kHelperSimulatedClockRefused, "a simulated clock is not taken from another user");
        }
        const std::string folder = folderOf(simulated);
        const std::string unsafe = platform::folderUnsafeForRootWrites(folder);
        if (!unsafe.empty()) {
            return refuse(kHelperSimulatedClockRefused, "the simulated clock's folder " + folder +
                                                            " is refused: " + unsafe);
        }
        if (platform::runningAsRoot()) platform::refuseLinksIn(folder);
    }
    if (!applyClockChange(change)) return refuse(kHelperClockRefused, "the system refused the change");
    return kHelperApplied;
}

}  // namespace tavrel
