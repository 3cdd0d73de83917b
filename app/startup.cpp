#include "app/startup.h"

#include <algorithm>

#include "engine/clock_privilege.h"
#include "nts/nts_cookie_file.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/timezone.h"
#include "servers/server_list.h"
#include "storage/data_directory.h"
#include "storage/settings.h"
#include "storage/strings.h"

namespace tavrel {

std::vector<std::string> splitCommandLine(std::string_view line) {
    size_t quotes = 0;
    for (char c : line) quotes += c == '"';
    std::vector<std::string> args;
    if (quotes % 2 != 0) return args;

    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inArgument = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inArgument) args.push_back(std::move(current));
            current.clear();
            inArgument = false;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument) args.push_back(std::move(current));
    return args;
}

namespace {

bool isWindowKindOption(const std::string& arg) { return arg == "--terminal" || arg == "--desktop"; }

}  // namespace

std::string readSwitch(std::string_view commandLine) {
    std::vector<std::string> args = splitCommandLine(commandLine);
    if (!args.empty()) args.erase(std::remove_if(args.begin() + 1, args.end(), isWindowKindOption), args.end());
    if (args.size() < 2 || args[1].size() < 2) return std::string();
    std::string sw = args[1].substr(args[1].size() - 2);
    for (char& c : sw) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return sw;
}

gui::WindowKind windowKindAsked(std::string_view commandLine) {
    gui::WindowKind kind = gui::WindowKind::Automatic;
    const std::vector<std::string> args = splitCommandLine(commandLine);
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--terminal") kind = gui::WindowKind::Terminal;
        if (args[i] == "--desktop") kind = gui::WindowKind::Desktop;
    }
    return kind;
}

namespace {

// Root with a data folder that a user may change (a portable copy started
// through pkexec, sudo -E with the user's home) would write and read
// whatever a link planted there names: such a folder is refused, and in the
// folders root does use no link is followed.
void keepRootToItsOwnFiles(bool inServiceStateFolder) {
    if (!platform::runningAsRoot()) return;
    const std::string why = platform::folderUnsafeForRoot(dataDirectory(), inServiceStateFolder);
    if (!why.empty()) {
        platform::messageBox("Running as root, Tavrel will not use the data folder " + dataDirectory() + ": " + why +
                                 ". Run Tavrel as that folder's user, or keep its data in a folder only root may "
                                 "change.",
                             "Tavrel");
        platform::exitProcess(kRootFolderRefused);
    }
    platform::refuseLinksIn(dataDirectory());
    // The service's own folder, which root's window program saves the
    // service's settings into, belongs to the service's user.
    platform::refuseLinksIn(platform::serviceStateFolder());
}

}  // namespace

std::string prepareProcess() {
    platform::applyLocalTimeSeam();
    clockPrivilegeHeld.store(enableClockPrivilege() ? 1 : 0);
    const std::string sw = readSwitch(platform::commandLine());
    locateDirectories(sw == "/x");
    keepRootToItsOwnFiles(sw == "/x" && !platform::givenServiceStateFolder().empty());
    // A save killed half-way left its temporary beside the file it was for.
    for (const char* name : {kSettingsFileName, kStringsFileName, kServerFileName}) {
        platform::removeStaleReplacements(dataDirectory() + name);
        platform::removeStaleReplacements(programDirectory() + name);
    }
    // One of the kept NTS keys holds secrets: not left lying about either.
    platform::removeStaleReplacements(dataDirectory() + kNtsCookieFileName);
    loadStringTable(kStringsFileName, kRequiredSlots, stringTable());
    loadSettings();
    ensureServerFile();
    return sw;
}

}  // namespace tavrel
