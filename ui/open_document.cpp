#include "ui/open_document.h"

#include "platform/file.h"
#include "platform/process.h"
#include "storage/data_directory.h"

namespace tavrel {
namespace {

constexpr const char* kCaption = platform::kProgramCaption;
constexpr char kReadMeFileName[] = "ReadMe.htm";
constexpr char kReadMeTextFileName[] = "ReadMe.txt";
// What a shell answers for a command it cannot find or run.
constexpr int kCommandNotFound = 127;
constexpr int kCommandNotRunnable = 126;

// Opens `path`, or in the terminal `terminalPath`: the same file, or a
// rendering of it that reads better there.
void open(gui::WindowHandle owner, const std::string& path, const std::string& terminalPath, DocumentUse use,
          const std::string& missingHint) {
    // Checked first: a pager handed a missing file fails with a status of
    // its own, whose complaint the window's redraw wipes at once, and the
    // desktop's opener fails where nobody sees it.
    if (!platform::fileExists(path)) {
        std::string text = path + " does not exist.";
        if (!missingHint.empty()) text += " " + missingHint;
        gui::messageBox(owner, text, kCaption, gui::MessageBoxKind::Ok);
        return;
    }
    if (platform::shellOpen(path)) return;
    const bool edit = use == DocumentUse::Edit;
    for (const std::string& command : platform::terminalFileCommands(edit)) {
        // The command may carry its own arguments ("vim -R"): the shell
        // splits it, and the file's name goes last, quoted.
        const int status = gui::runInTerminal({"sh", "-c", command + " \"$1\"", "sh", terminalPath});
        if (status == -1) break;  // no terminal to run it in
        if (status != kCommandNotFound && status != kCommandNotRunnable) return;
    }
    const std::string advice = edit ? "Set VISUAL or EDITOR to an editor, or install one."
                                    : "Set PAGER to a pager, or install one.";
    gui::messageBox(owner, "Nothing here can open " + path + ". " + advice, kCaption, gui::MessageBoxKind::Error);
}

}  // namespace

void openDocument(gui::WindowHandle owner, const std::string& path, DocumentUse use, const std::string& missingHint) {
    open(owner, path, path, use, missingHint);
}

void openReadMe(gui::WindowHandle owner) {
    const std::string page = programDirectory() + kReadMeFileName;
    const std::string text = programDirectory() + kReadMeTextFileName;
    open(owner, page, platform::fileExists(text) ? text : page, DocumentUse::Read, std::string());
}

}  // namespace tavrel
