#include "tests/support/recording_backend.h"

namespace tavrel::test {

void RecordingBackend::controlTextChanged(gui::WindowHandle window, int id, std::string_view text) {
    std::lock_guard lock(mutex_);
    texts_[{window, id}].emplace_back(text);
}

int RecordingBackend::trackPopupMenu(gui::WindowHandle, const std::vector<gui::MenuItem>& items) {
    std::lock_guard lock(mutex_);
    std::string record;
    for (const gui::MenuItem& item : items) {
        if (!record.empty()) record += "|";
        record += item.text.empty() ? "-" : item.text;
    }
    menus_.push_back(record);
    const int choice = nextChoice_;
    nextChoice_ = 0;
    return choice;
}

void RecordingBackend::messageBox(gui::WindowHandle, std::string_view text, std::string_view caption,
                                  gui::MessageBoxKind) {
    std::lock_guard lock(mutex_);
    boxes_.push_back(std::string(caption) + ": " + std::string(text));
}

std::vector<std::string> RecordingBackend::texts(gui::WindowHandle window, int id) {
    std::lock_guard lock(mutex_);
    return texts_[{window, id}];
}

void RecordingBackend::clearTexts(gui::WindowHandle window, int id) {
    std::lock_guard lock(mutex_);
    texts_[{window, id}].clear();
}

std::vector<std::string> RecordingBackend::menus() {
    std::lock_guard lock(mutex_);
    return menus_;
}

std::vector<std::string> RecordingBackend::messageBoxes() {
    std::lock_guard lock(mutex_);
    return boxes_;
}

void RecordingBackend::chooseFromNextMenu(int command) {
    std::lock_guard lock(mutex_);
    nextChoice_ = command;
}

int RecordingBackend::runInTerminal(const std::vector<std::string>& argv) {
    std::lock_guard lock(mutex_);
    std::string record;
    for (const std::string& arg : argv) record += (record.empty() ? "" : " ") + arg;
    terminalRuns_.push_back(record);
    return terminalStatus_;
}

std::vector<std::string> RecordingBackend::terminalRuns() {
    std::lock_guard lock(mutex_);
    return terminalRuns_;
}

void RecordingBackend::setTerminalStatus(int status) {
    std::lock_guard lock(mutex_);
    terminalStatus_ = status;
}

}  // namespace tavrel::test
