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

void fill(platform::WindowHandle dialog) {
    platform::setWindowText(dialog, slot(kSlotCaption));
    setControlTexts(dialog, kTimeZoneTexts);
    const platform::TimeZoneInformation zone = lockedTimeZone();
    const platform::SystemTime today = platform::getLocalTime();
    platform::setDlgItemText(dialog, kDisplayName, timeZoneDisplayName());
    platform::setDlgItemText(dialog, kPhase, slot(timeZonePhase.load() == 0 ? kSlotStandard : kSlotDaylight));
    platform::setDlgItemText(dialog, kBias, formatBias(-zone.bias));
    platform::setDlgItemText(dialog, kStandardName, platform::zoneNameText(zone.standardName));
    platform::setDlgItemText(dialog, kStandardDate, formatTransition(zone.standardDate, today));
    platform::setDlgItemText(dialog, kStandardBias,
                             zone.standardDate.month == 0 ? slot(kSlotNone) : formatBias(zone.standardBias));
    platform::setDlgItemText(dialog, kDaylightName, platform::zoneNameText(zone.daylightName));
    platform::setDlgItemText(dialog, kDaylightDate, formatTransition(zone.daylightDate, today));
    platform::setDlgItemText(dialog, kDaylightBias,
                             zone.daylightDate.month == 0 ? slot(kSlotNone) : formatBias(zone.daylightBias));
    platform::checkDlgButton(dialog, kLock, settings.timeZoneLocked.load() != 0);
    platform::setControlTooltip(dialog, kLock, slot(kSlotLockTip));
}

}  // namespace

void showTimeZoneDialog(platform::WindowHandle owner) {
    (void)platform::runModalDialog(
        kTimeZoneDialog,
        [](platform::WindowHandle dialog, const platform::WindowMessage& message) -> intptr_t {
            if (message.kind == platform::MessageKind::Create) {
                fill(dialog);
            } else if (message.kind == platform::MessageKind::Command && message.id == kOk) {
                lockTimeZone(platform::isDlgButtonChecked(dialog, kLock));
                platform::endDialog(dialog, kOk);
            } else if (message.kind == platform::MessageKind::Command && message.id == kHelp) {
                (void)platform::shellOpen(programDirectory() + kReadMeFileName);
            }
            // Nothing else closes it: no Escape, no close box.
            return 0;
        },
        owner);
}

}  // namespace tavrel
