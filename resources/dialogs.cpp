#include "resources/dialogs.h"

#include <array>

namespace tavrel {
namespace {

using platform::ControlKind;
using platform::ControlTemplate;

constexpr std::array kMainControls = {
    ControlTemplate{ControlKind::DefaultPushButton, kIdCheckButton, 30, 63, 50, 14, "Check"},
    ControlTemplate{ControlKind::PushButton, kIdCorrectButton, 83, 63, 50, 14, "Correct"},
    ControlTemplate{ControlKind::PushButton, kIdOptionsButton, 136, 63, 42, 14, "Options"},
    ControlTemplate{ControlKind::PushButton, kIdTimeZoneButton, 180, 63, 42, 14, "Time Zone"},
    ControlTemplate{ControlKind::PushButton, kIdAboutButton, 224, 63, 42, 14, "About"},
    ControlTemplate{ControlKind::Icon, -1, 3, 58, 20, 20, ""},
    ControlTemplate{ControlKind::Label, kIdComputerName, 3, 3, 126, 8, ""},
    ControlTemplate{ControlKind::SunkenStatic, kIdLocalClock, 3, 14, 130, 25, ""},
    ControlTemplate{ControlKind::Label, kIdServerName, 136, 3, 128, 8, "Server"},
    ControlTemplate{ControlKind::SunkenStatic, kIdServerClock, 136, 14, 130, 25, "Not Checked Yet"},
    ControlTemplate{ControlKind::SunkenStatic, kIdStatusLine, 3, 43, 263, 10, ""},
};

}  // namespace

const platform::DialogTemplate kMainDialog{"MAINDIALOG", "Tavrel", 267, 79, kMainControls};

}  // namespace tavrel
