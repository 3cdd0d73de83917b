#include "platform/autostart.h"
#include "platform/service_manager.h"

#include "platform/file.h"

namespace tavrel::platform {
namespace {

constexpr char kAutostartFolder[] = "/autostart";

// A path as one quoted argument of a desktop entry's Exec key: inside the
// quotes " ` $ and \ take a backslash, a % is written %% (a field code
// otherwise), and the value's own escaping then doubles every backslash.
std::string quotedForExec(const std::string& path) {
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    quoted += '"';
    std::string value;
    for (char c : quoted) {
        if (c == '\\') value += '\\';
        value += c;
    }
    return value;
}

}  // namespace

std::string logonStartPath(const std::string& name) {
    return applicationDataFolder() + kAutostartFolder + "/" + name + ".desktop";
}

void setLogonStart(const std::string& name, const std::string& program, const std::string& arguments,
                   bool inTerminal) {
    const std::string folder = applicationDataFolder();
    // A line break in the path would add lines of its own to the entry.
    if (folder.empty() || hasControlCharacters(program) || hasControlCharacters(arguments)) return;
    (void)createDirectory(folder);
    (void)createDirectory(folder + kAutostartFolder);
    std::string exec = quotedForExec(program);
    if (!arguments.empty()) exec += " " + arguments;
    const std::string entry = "[Desktop Entry]\n"
                              "Type=Application\n"
                              "Name=Tavrel\n"
                              "Comment=Internet Time Synchronisation\n"
                              "Exec=" + exec + "\n"
                              "Terminal=" + std::string(inTerminal ? "true" : "false") + "\n"
                              "X-GNOME-Autostart-enabled=true\n";
    (void)writeFileReplacing(logonStartPath(name), entry);
}

void removeLogonStart(const std::string& name) { (void)removeFile(logonStartPath(name)); }

}  // namespace tavrel::platform
