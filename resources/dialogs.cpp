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

constexpr std::array kAboutControls = {
    ControlTemplate{ControlKind::Icon, -1, 4, 4, 20, 20, ""},
    ControlTemplate{ControlKind::Label, kIdAboutTitle, 28, 4, 230, 8, "Tavrel 1.5"},
    ControlTemplate{ControlKind::Label, kIdAboutLine1, 28, 16, 230, 8, ""},
    ControlTemplate{ControlKind::Label, kIdAboutLine2, 28, 24, 230, 8, ""},
    ControlTemplate{ControlKind::Label, kIdAboutLine3, 28, 32, 230, 8, ""},
    ControlTemplate{ControlKind::Label, kIdAboutProgramDir, 4, 48, 254, 8, ""},
    ControlTemplate{ControlKind::Label, kIdAboutDataDir, 4, 56, 254, 8, ""},
    ControlTemplate{ControlKind::Label, kIdAboutSystem, 4, 64, 254, 8, ""},
    ControlTemplate{ControlKind::DefaultPushButton, kIdAboutOk, 108, 80, 50, 14, "OK"},
};

}  // namespace

const platform::DialogTemplate kMainDialog{"MAINDIALOG", "Tavrel", 267, 79, kMainControls};
const platform::DialogTemplate kAboutDialog{"ABOUT", "About Tavrel", 263, 97, kAboutControls};

}  // namespace tavrel
