// Turns the dialog templates that every backend shares into the in-memory
// DLGTEMPLATE records that CreateDialogIndirectParamA takes, so that the
// ids, kinds, positions and texts of the controls have one source.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gui/dialog.h"

namespace tavrel::gui::win32 {

// The id a control without one gets (IDC_STATIC).
inline constexpr uint16_t kStaticId = 0xFFFF;
// The resource number of the program's icon.
inline constexpr uint16_t kIconResource = 500;
// The id of the tab control that stands for a property sheet's tabs.
inline constexpr uint16_t kSheetTabsId = 0x7FF0;

struct TemplateWindow {
    std::string className;  // empty: the system's dialog class
    std::string caption;
    int width = 0;
    int height = 0;
    bool child = false;  // a property page inside its sheet
    bool minimiseBox = false;
    bool closeBox = true;
    std::vector<ControlTemplate> controls;
};

// The DLGTEMPLATE record with its items, as 16-bit words (DWORD-aligned in
// the vector's storage, which WORD-sized elements start on).
std::vector<uint16_t> buildDialogTemplate(const TemplateWindow& window);

// The Win32 class and style of a control kind.
const char* controlClass(ControlKind kind);
uint32_t controlStyle(ControlKind kind, bool group = false);

}  // namespace tavrel::gui::win32
