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

// The option pages share one table of texts and one of tooltips; pairs
// naming controls a page lacks have no effect there.
constexpr std::array kOptionsTextPairs = {
    ControlText{33, 1004},
    ControlText{30, 1035},
    ControlText{31, 1036},
    ControlText{32, 1037},
    ControlText{35, 1027},
    ControlText{36, 1028},
    ControlText{34, 1022},
    ControlText{37, 1200},
    ControlText{42, 1201},
    ControlText{43, 1202},
    ControlText{39, 1016},
    ControlText{41, 1029},
    ControlText{40, 1009},
    ControlText{40, 1042},
    ControlText{40, 1031},
    ControlText{63, 1030},
    ControlText{64, 1050},
    ControlText{65, 1203},
    ControlText{67, 1204},
    ControlText{73, 1205},
    ControlText{74, 1206},
    ControlText{75, 1207},
    ControlText{66, 1208},
    ControlText{68, 1209},
    ControlText{69, 1210},
    ControlText{71, 1211},
    ControlText{72, 1212},
    ControlText{45, 1001},
    ControlText{48, 1044},
    ControlText{51, 1048},
    ControlText{46, 1043},
    ControlText{8, 1045},
    ControlText{47, 1046},
    ControlText{50, 1049},
    ControlText{52, 1047},
    ControlText{53, 1012},
    ControlText{54, 1039},
    ControlText{57, 1021},
    ControlText{59, 1014},
    ControlText{55, 1019},
    ControlText{56, 1026},
    ControlText{58, 1015},
    ControlText{8, 1038},
    ControlText{40, 7},
    ControlText{23, 6},
    ControlText{61, 1213},
};

constexpr std::array kOptionsTooltipPairs = {
    ControlText{199, 6},
    ControlText{161, 7},
    ControlText{163, 1001},
    ControlText{226, 1002},
    ControlText{228, 1003},
    ControlText{129, 1004},
    ControlText{128, 1007},
    ControlText{128, 1008},
    ControlText{147, 1009},
    ControlText{236, 1011},
    ControlText{149, 1012},
    ControlText{214, 1013},
    ControlText{134, 1014},
    ControlText{133, 1015},
    ControlText{140, 1016},
    ControlText{142, 1017},
    ControlText{141, 1018},
    ControlText{130, 1019},
    ControlText{220, 1020},
    ControlText{201, 1021},
    ControlText{238, 1023},
    ControlText{240, 1026},
    ControlText{158, 1027},
    ControlText{162, 1028},
    ControlText{126, 1022},
    ControlText{144, 1029},
    ControlText{232, 1030},
    ControlText{234, 1031},
    ControlText{222, 1032},
    ControlText{145, 1033},
    ControlText{137, 1034},
    ControlText{218, 1035},
    ControlText{127, 1036},
    ControlText{127, 1037},
    ControlText{135, 1038},
    ControlText{153, 1039},
    ControlText{146, 1041},
    ControlText{148, 1042},
    ControlText{164, 1043},
    ControlText{165, 1044},
    ControlText{166, 1045},
    ControlText{167, 1046},
    ControlText{244, 1047},
    ControlText{169, 1048},
    ControlText{246, 1049},
    ControlText{224, 1050},
    ControlText{49, 1101},
    ControlText{5, 1102},
};

constexpr std::array kTimeZoneTextPairs = {
    ControlText{26, 1214},
    ControlText{27, 1215},
    ControlText{29, 1216},
    ControlText{24, 1217},
    ControlText{26, 1218},
    ControlText{28, 1219},
    ControlText{29, 1220},
    ControlText{25, 1221},
    ControlText{26, 1222},
    ControlText{28, 1223},
    ControlText{29, 1224},
    ControlText{22, 1046},
    ControlText{23, 6},
    ControlText{17, 1},
};

}  // namespace

const std::span<const ControlText> kMainWindowTexts = kMainTexts;
const std::span<const ControlText> kOptionsTexts = kOptionsTextPairs;
const std::span<const ControlText> kOptionsTooltips = kOptionsTooltipPairs;
const std::span<const ControlText> kTimeZoneTexts = kTimeZoneTextPairs;
const std::span<const ControlText> kMainWindowTooltips = kMainTooltips;

void setControlTexts(gui::WindowHandle window, std::span<const ControlText> table) {
    for (const ControlText& pair : table) gui::setDlgItemText(window, pair.controlId, slot(pair.slot));
}

void attachTooltips(gui::WindowHandle window, std::span<const ControlText> table) {
    for (const ControlText& pair : table) gui::setControlTooltip(window, pair.controlId, slot(pair.slot));
}

}  // namespace tavrel
