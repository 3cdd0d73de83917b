#include "ui/control_texts.h"

#include <array>

#include "resources/dialogs.h"
#include "storage/strings.h"

namespace tavrel {
namespace {

constexpr std::array kMainTexts = {
    ControlText{6, kIdServerClock},  ControlText{8, kIdServerName}, ControlText{2, kIdOptionsButton},
    ControlText{0, kIdCheckButton},  ControlText{1, kIdCorrectButton}, ControlText{4, kIdAboutButton},
    ControlText{3, kIdTimeZoneButton},
};

constexpr std::array kMainTooltips = {
    ControlText{123, kIdCheckButton},
    ControlText{230, kIdOptionsButton},
    ControlText{159, kIdTimeZoneButton},
    ControlText{125, kIdAboutButton},
};

}  // namespace

const std::span<const ControlText> kMainWindowTexts = kMainTexts;
const std::span<const ControlText> kMainWindowTooltips = kMainTooltips;

void setControlTexts(platform::WindowHandle window, std::span<const ControlText> table) {
    for (const ControlText& pair : table) platform::setDlgItemText(window, pair.controlId, slot(pair.slot));
}

void attachTooltips(platform::WindowHandle window, std::span<const ControlText> table) {
    for (const ControlText& pair : table) platform::setControlTooltip(window, pair.controlId, slot(pair.slot));
}

}  // namespace tavrel
