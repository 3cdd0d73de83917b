#include "gui/scripted/scripted_interpreter.h"

#include <cstdio>
#include <sstream>

namespace tavrel::gui {
namespace {

constexpr size_t kLongestLine = 4096;

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

ScriptedInterpreter::ScriptedInterpreter(WindowHandle& target) : target_(target) {}

void ScriptedInterpreter::flush() { std::fflush(stdout); }

void ScriptedInterpreter::feed(const char* data, size_t size) {
    pending_.append(data, size);
    size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
        const std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        run(line);
    }
    if (pending_.size() > kLongestLine) pending_.clear();  // no unbounded buffer
    std::fflush(stdout);
}

int ScriptedInterpreter::trackPopupMenu(WindowHandle, const std::vector<MenuItem>& items) {
    std::printf("menu:");
    for (const MenuItem& item : items) std::printf(" [%s]", item.text.empty() ? "-" : item.text.c_str());
    std::printf("\n");
    return 0;
}

void ScriptedInterpreter::messageBox(WindowHandle, std::string_view text, std::string_view caption, MessageBoxKind) {
    std::printf("message: %.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                static_cast<int>(text.size()), text.data());
}

void ScriptedInterpreter::run(const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    int number = 0;
    words >> number;
    const WindowHandle w = target_;
    if (verb == "command") {
        postCommand(w, number);
    } else if (verb == "close") {
        postMessage(w, WindowMessage{MessageKind::Close});
    } else if (verb == "minimise") {
        showWindow(w, ShowCommand::Minimised);
    } else if (verb == "restore") {
        showWindow(w, ShowCommand::Normal);
    } else if (verb == "tray") {
        postMessage(w, WindowMessage{MessageKind::TrayCallback, 0, number});
    } else if (verb == "rclick") {
        postMessage(w, WindowMessage{MessageKind::RightButtonUp});
    } else if (verb == "taskbar") {
        postMessage(w, WindowMessage{MessageKind::TaskbarCreated});
    } else if (verb == "endsession") {
        postMessage(w, WindowMessage{MessageKind::QueryEndSession});
        postMessage(w, WindowMessage{MessageKind::EndSession});
    } else if (verb == "show") {
        std::printf("%d: %s\n", number, escaped(getDlgItemText(w, number)).c_str());
    } else if (verb == "caption") {
        std::printf("caption: %s\n", windowText(w).c_str());
    } else if (verb == "state") {
        const ShowCommand show = windowShowState(w);
        std::printf("state: %s", show == ShowCommand::Normal      ? "shown"
                                 : show == ShowCommand::Minimised ? "minimised"
                                                                  : "hidden");
        if (trayIconShown(w)) std::printf(" tray %s", escaped(trayTip(w)).c_str());
        std::printf("\n");
    } else if (!verb.empty()) {
        std::printf("unknown: %s\n", verb.c_str());
    }
}

}  // namespace tavrel::gui
