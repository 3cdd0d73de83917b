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

intptr_t aboutProcedure(platform::WindowHandle window, const platform::WindowMessage& message) {
    if (message.kind == platform::MessageKind::Create) {
        platform::setWindowText(window, slot(kSlotAboutCaption));
        platform::setDlgItemText(window, kIdAboutLine1, slot(kSlotAboutLines[0]));
        platform::setDlgItemText(window, kIdAboutLine2, slot(kSlotAboutLines[1]));
        platform::setDlgItemText(window, kIdAboutLine3, slot(kSlotAboutLines[2]));
        platform::setDlgItemText(window, kIdAboutProgramDir, "Program: " + programFile());
        platform::setDlgItemText(window, kIdAboutDataDir, "Data: " + dataDirectory());
        platform::setDlgItemText(window, kIdAboutSystem, "System: " + platform::systemDescription());
        platform::setDlgItemText(window, kIdAboutOk, slot(kSlotOk));
    } else if (message.kind == platform::MessageKind::Command &&
               (message.id == kIdAboutOk || message.id == kCommandCancel)) {
        platform::endDialog(window, message.id);
    } else if (message.kind == platform::MessageKind::Close) {
        platform::endDialog(window, kCommandCancel);
    }
    return 0;
}

}  // namespace

void showAboutPage(platform::WindowHandle owner) {
    if (aboutOpen.exchange(1) != 0) return;
    (void)platform::runModalDialog(kAboutDialog, aboutProcedure, owner);
    aboutOpen.store(0);
}

}  // namespace tavrel
