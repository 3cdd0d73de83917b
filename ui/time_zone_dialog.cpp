#include "ui/time_zone_dialog.h"

#include "platform/process.h"
#include "platform/timezone.h"
#include "resources/dialogs.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "timezone/time_zone.h"
#include "ui/open_document.h"
#include "ui/control_texts.h"
#include "storage/string_slots.h"

namespace tavrel {
namespace {

void fill(gui::WindowHandle dialog) {
    gui::setWindowText(dialog, slot(kSlotTimeZone));
    applyTemplateTexts(dialog);
    const platform::TimeZoneInformation zone = lockedTimeZone();
    const platform::SystemTime today = platform::getLocalTime();
    gui::setDlgItemText(dialog, kIdZoneDisplayName, timeZoneDisplayName());
    gui::setDlgItemText(dialog, kIdZonePhase, slot(timeZonePhase.load() == 0 ? kSlotStandard : kSlotDaylight));
    gui::setDlgItemText(dialog, kIdZoneBias, formatBias(-zone.bias));
    gui::setDlgItemText(dialog, kIdZoneStandardName, platform::zoneNameText(zone.standardName));
    gui::setDlgItemText(dialog, kIdZoneStandardDate, formatTransition(zone.standardDate, today));
    gui::setDlgItemText(dialog, kIdZoneStandardBias,
                             zone.standardDate.month == 0 ? slot(kSlotNone) : formatBias(zone.standardBias));
    gui::setDlgItemText(dialog, kIdZoneDaylightName, platform::zoneNameText(zone.daylightName));
    gui::setDlgItemText(dialog, kIdZoneDaylightDate, formatTransition(zone.daylightDate, today));
    gui::setDlgItemText(dialog, kIdZoneDaylightBias,
                             zone.daylightDate.month == 0 ? slot(kSlotNone) : formatBias(zone.daylightBias));
    gui::checkDlgButton(dialog, kIdZoneLock, settings.timeZoneLocked.load());
}

}  // namespace

void showTimeZoneDialog(gui::WindowHandle owner) {
    (void)gui::runModalDialog(
        kTimeZoneDialog,
        [](gui::WindowHandle dialog, const gui::WindowMessage& message) -> intptr_t {
            if (message.kind == gui::MessageKind::Create) {
                fill(dialog);
            } else if (message.kind == gui::MessageKind::Command && message.id == kIdZoneOk) {
                lockTimeZone(gui::isDlgButtonChecked(dialog, kIdZoneLock));
                gui::endDialog(dialog, kIdZoneOk);
            } else if (message.kind == gui::MessageKind::Command && message.id == kIdZoneHelp) {
                openReadMe(dialog);
            }
            // Nothing else closes it: no Escape, no close box.
            return 0;
        },
        owner);
}

void refreshTimeZoneCaption(gui::WindowHandle window) {
    if (const std::optional<std::string> caption = refreshTimeZone()) gui::setWindowText(window, *caption);
}

}  // namespace tavrel
