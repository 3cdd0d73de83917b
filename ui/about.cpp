#include "ui/about.h"

#include "platform/process.h"
#include "resources/dialogs.h"
#include "storage/data_directory.h"
#include "storage/strings.h"
#include "storage/string_slots.h"
#include "ui/control_texts.h"

namespace tavrel {
namespace {

intptr_t aboutProcedure(gui::WindowHandle window, const gui::WindowMessage& message) {
    if (message.kind == gui::MessageKind::Create) {
        gui::setWindowText(window, slot(kSlotAboutCaption));
        applyTemplateTexts(window);
        gui::setDlgItemText(window, kIdAboutProgramDir, "Program: " + programFile());
        gui::setDlgItemText(window, kIdAboutDataDir, "Data: " + dataDirectory());
        gui::setDlgItemText(window, kIdAboutSystem, "System: " + platform::systemDescription());
    } else if (message.kind == gui::MessageKind::Command &&
               (message.id == kIdAboutOk || message.id == gui::kIdCancel)) {
        gui::endDialog(window, message.id);
    } else if (message.kind == gui::MessageKind::Close) {
        gui::endDialog(window, gui::kIdCancel);
    }
    return 0;
}

}  // namespace

void showAboutPage(gui::WindowHandle owner) {
    (void)gui::runModalDialog(kAboutDialog, aboutProcedure, owner);
}

}  // namespace tavrel
