#include "ui/time_zone_dialog.h"

#include "platform/process.h"
#include "platform/timezone.h"
#include "resources/dialogs.h"
#include "storage/data_directory.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "timezone/time_zone.h"
#include "ui/control_texts.h"
#include "storage/string_slots.h"

namespace tavrel {
namespace {

enum : int {
    kOk = 1, kHelp = 6, kDisplayName = 1028, kPhase = 1029, kBias = 1033, kStandardName = 1040,
    kStandardDate = 1041, kStandardBias = 1042, kDaylightName = 1043, kDaylightDate = 1044, kDaylightBias = 1045,
    kLock = 1046,
};
constexpr int kSlotCaption = 3;
constexpr int kSlotStandard = 192;
constexpr int kSlotDaylight = 193;
constexpr int kSlotLockTip = 242;
constexpr char kReadMeFileName[] = "ReadMe.htm";

void fill(gui::WindowHandle dialog) {
    gui::setWindowText(dialog, slot(kSlotCaption));
    setControlTexts(dialog, kTimeZoneTexts);
    const platform::TimeZoneInformation zone = lockedTimeZone();
    const platform::SystemTime today = platform::getLocalTime();
    gui::setDlgItemText(dialog, kDisplayName, timeZoneDisplayName());
    gui::setDlgItemText(dialog, kPhase, slot(timeZonePhase.load() == 0 ? kSlotStandard : kSlotDaylight));
    gui::setDlgItemText(dialog, kBias, formatBias(-zone.bias));
    gui::setDlgItemText(dialog, kStandardName, platform::zoneNameText(zone.standardName));
    gui::setDlgItemText(dialog, kStandardDate, formatTransition(zone.standardDate, today));
    gui::setDlgItemText(dialog, kStandardBias,
                             zone.standardDate.month == 0 ? slot(kSlotNone) : formatBias(zone.standardBias));
    gui::setDlgItemText(dialog, kDaylightName, platform::zoneNameText(zone.daylightName));
    gui::setDlgItemText(dialog, kDaylightDate, formatTransition(zone.daylightDate, today));
    gui::setDlgItemText(dialog, kDaylightBias,
                             zone.daylightDate.month == 0 ? slot(kSlotNone) : formatBias(zone.daylightBias));
    gui::checkDlgButton(dialog, kLock, settings.timeZoneLocked.load() != 0);
    gui::setControlTooltip(dialog, kLock, slot(kSlotLockTip));
}

}  // namespace

void showTimeZoneDialog(gui::WindowHandle owner) {
    (void)gui::runModalDialog(
        kTimeZoneDialog,
        [](gui::WindowHandle dialog, const gui::WindowMessage& message) -> intptr_t {
            if (message.kind == gui::MessageKind::Create) {
                fill(dialog);
            } else if (message.kind == gui::MessageKind::Command && message.id == kOk) {
                lockTimeZone(gui::isDlgButtonChecked(dialog, kLock));
                gui::endDialog(dialog, kOk);
            } else if (message.kind == gui::MessageKind::Command && message.id == kHelp) {
                (void)platform::shellOpen(programDirectory() + kReadMeFileName);
            }
            // Nothing else closes it: no Escape, no close box.
            return 0;
        },
        owner);
}

}  // namespace tavrel
