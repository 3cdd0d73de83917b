#include "ui/control_texts.h"

#include "storage/strings.h"

namespace tavrel {

void applyTemplateTexts(gui::WindowHandle window) {
    for (const gui::ControlTemplate& c : gui::dialogControls(window)) {
        if (c.id == -1) continue;
        if (c.textSlot >= 0) gui::setDlgItemText(window, c.id, slot(c.textSlot));
        if (c.tooltipSlot >= 0) gui::setControlTooltip(window, c.id, slot(c.tooltipSlot));
    }
}

}  // namespace tavrel
