#include "ui/about.h"

#include "platform/process.h"
#include "resources/dialogs.h"
#include "storage/data_directory.h"
#include "storage/strings.h"

namespace tavrel {

std::atomic<int32_t> aboutOpen{0};

namespace {

constexpr int kSlotAboutCaption = 13;
constexpr int kSlotOk = 11;
constexpr int kSlotAboutLines[] = {10, 16, 18};
constexpr int kCommandCancel = 2;

intptr_t aboutProcedure(gui::WindowHandle window, const gui::WindowMessage& message) {
    if (message.kind == gui::MessageKind::Create) {
        gui::setWindowText(window, slot(kSlotAboutCaption));
        gui::setDlgItemText(window, kIdAboutLine1, slot(kSlotAboutLines[0]));
        gui::setDlgItemText(window, kIdAboutLine2, slot(kSlotAboutLines[1]));
        gui::setDlgItemText(window, kIdAboutLine3, slot(kSlotAboutLines[2]));
        gui::setDlgItemText(window, kIdAboutProgramDir, "Program: " + programFile());
        gui::setDlgItemText(window, kIdAboutDataDir, "Data: " + dataDirectory());
        gui::setDlgItemText(window, kIdAboutSystem, "System: " + platform::systemDescription());
        gui::setDlgItemText(window, kIdAboutOk, slot(kSlotOk));
    } else if (message.kind == gui::MessageKind::Command &&
               (message.id == kIdAboutOk || message.id == kCommandCancel)) {
        gui::endDialog(window, message.id);
    } else if (message.kind == gui::MessageKind::Close) {
        gui::endDialog(window, kCommandCancel);
    }
    return 0;
}

}  // namespace

void showAboutPage(gui::WindowHandle owner) {
    if (aboutOpen.exchange(1) != 0) return;
    (void)gui::runModalDialog(kAboutDialog, aboutProcedure, owner);
    aboutOpen.store(0);
}

}  // namespace tavrel
